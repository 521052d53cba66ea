# Sources of the transport layer, listed one per concept.
set(QK_TRANSPORT_SOURCES)
