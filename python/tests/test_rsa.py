"""The software RSA calls on bytes, against Python's own arithmetic."""

import pytest

from qktoken import rsa

P256 = 0xE16854C6DA891524B494A73D33FBA0D059C05BB9CD9CB03AC28CB594E2DD81AD
Q256 = 0xEEFAD0E72231099D6C5585EFE97673FB0039F5336E04676BCEA92BBDBE456497
P512 = int("C92FB8B486880C6B82DCC28AD5ED9C0043A9E816F4D0435633CDE0ED8D398298"
           "858FECBC374E1A6AF4891AD7FE1E26FF2A592D92DA800EE1C2CB6291E0D29885", 16)
Q512 = int("DE53D642CCE1D0AC3F533F265D28017A98A3201D9F45E0381B72059749EDEE73"
           "5F47F96960C492A5DE94C5986EE3E459D830D81BB23DF2EF91FD8855416882A1", 16)
KEYS = [rsa.PrivateKey.from_primes(P256, Q256), rsa.PrivateKey.from_primes(P512, Q512, 3)]
BLOCK_512 = (512).to_bytes(4, "big") + (65537).to_bytes(4, "big") + bytes(4) + KEYS[0].modulus.to_bytes(64, "big")


# Catches: wrong arithmetic, byte order or padding in blocks and signatures.
@pytest.mark.parametrize("key", KEYS, ids=["512", "1024"])
def test_blocks_and_signatures_agree_with_modular_exponentiation(key: rsa.PrivateKey) -> None:
    public, k, n = key.public_key(), key.block_length, key.modulus
    for m in (0, 1, 2, n // 3, n - 1):
        c = pow(m, key.public_exponent, n).to_bytes(k, "big")
        assert (rsa.public_block(m.to_bytes(k, "big"), public), rsa.private_block(c, key)) == (c, m.to_bytes(k, "big"))
    assert rsa.public_block(b"\x02", public) == pow(2, key.public_exponent, n).to_bytes(k, "big")  # short input
    for message in (b"", b"abc", bytes(range(k - 11))):
        padded = b"\0\1" + b"\xff" * (k - 3 - len(message)) + b"\0" + message
        signature = rsa.private_encrypt(message, key)
        assert signature == pow(int.from_bytes(padded, "big"), key.private_exponent, n).to_bytes(k, "big")
        assert rsa.public_decrypt(signature, public) == message


# Catches: bad keys and inputs reaching the library; a number not below n or bad padding not RSA_E_DATA.
@pytest.mark.parametrize("call, exception", [
    (lambda: rsa.public_block(bytes(65), KEYS[0].public_key()), ValueError),
    (lambda: rsa.private_encrypt(bytes(54), KEYS[0]), ValueError),
    (lambda: rsa.public_block("text", KEYS[0].public_key()), TypeError),
    (lambda: rsa.private_block(bytes(4), KEYS[0].public_key()), TypeError),
    (lambda: rsa.PublicKey(1 << 1024 | 1, 3), ValueError),
    (lambda: rsa.PublicKey(10, 3), ValueError),
    (lambda: rsa.PublicKey(-7, 3), ValueError),
    (lambda: rsa.PrivateKey(P256 * Q256 + 2, 3, P256, Q256, 1, 1, pow(Q256, -1, P256)), ValueError),
    (lambda: rsa.PrivateKey(P256 * Q256, 3, P256, Q256, 1, 1, 5), ValueError),
    (lambda: rsa.PrivateKey(P512 * Q512 * 3, 3, P512 * 3, Q512, 1, 1, 1), ValueError),
    (lambda: rsa.PublicKey.from_token_block(BLOCK_512[:-1]), ValueError),
    (lambda: rsa.PrivateKey.from_token_blocks(BLOCK_512, bytes(179)), ValueError),  # one byte short
    (lambda: rsa.public_block(KEYS[0].modulus.to_bytes(64, "big"), KEYS[0].public_key()), rsa.RsaError),
    (lambda: rsa.public_decrypt(rsa.private_block(b"\0\1" + b"\xff" * 7 + b"\0" + bytes(54), KEYS[0]),  # 7 FFs
                                KEYS[0].public_key()), rsa.RsaError),
])
def test_bad_keys_and_inputs_are_refused(call, exception) -> None:
    with pytest.raises(exception) as raised:
        call()
    assert exception is not rsa.RsaError or raised.value.code == rsa.RSA_E_DATA
