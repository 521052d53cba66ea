# Sources of the software RSA.
set(QK_RSA_SOURCES
  rsa/mp.cpp          # multi-precision arithmetic
  rsa/montgomery.cpp  # Montgomery exponentiation for odd moduli
  rsa/bytes.cpp       # byte-string helpers
  rsa/rsa.cpp         # RSA block operations on key records
)
