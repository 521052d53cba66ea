# Sources of the transport layer, one per concept.
set(QK_TRANSPORT_SOURCES
  transport/des.cpp           # DES and the chained report cipher
  transport/exchange.cpp      # report framing, ExchangeCommand, TransmitLocked
  transport/session_key.cpp   # EstablishSessionKey, StoreHistoricalBytes
  transport/maker_key.cpp     # the token maker's compiled-in public key
  transport/sha256.cpp        # SHA-256 and HMAC for the virtual link's proofs
)
