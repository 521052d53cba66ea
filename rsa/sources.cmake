# Sources of the software RSA.
set(QK_RSA_SOURCES
  rsa/mp.cpp    # multi-precision arithmetic
  rsa/rsa.cpp   # RSA block operations on key records
)
