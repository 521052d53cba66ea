# Sources of the transport layer, one per concept.
set(QK_TRANSPORT_SOURCES
  transport/des.cpp           # DES and the chained report cipher
  transport/exchange.cpp      # report framing, ExchangeCommand, time limits
  transport/channel.cpp       # device, lock, session key and generation of one open token
  transport/session_key.cpp   # the session-key command and its answer
  transport/status_word.cpp   # the status-word table, MapStatusWord
  transport/maker_key.cpp     # the token maker's compiled-in public key
)
