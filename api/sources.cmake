# Sources of the api layer, listed one per concept.
set(QK_API_SOURCES)
