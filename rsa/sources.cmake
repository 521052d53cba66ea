# Sources of the rsa layer, listed one per concept.
set(QK_RSA_SOURCES)
