"""The library's software RSA on bytes: raw and block-type-1 (PKCS #1 v1.5
signature padding) operations for moduli of up to 1024 bits.

Keys are plain numbers. Every block is k bytes, k being the modulus length in
bytes; failures raise ``RsaError`` with the library's code (``RSA_E_DATA``
or ``RSA_E_LENGTH``), a code space apart from the token's result codes.
"""

from __future__ import annotations

import ctypes
import math
from dataclasses import dataclass
from typing import Callable

from . import _checks, _library
from ._checks import BytesLike

RSA_E_DATA = 0x0401
RSA_E_LENGTH = 0x0406
MAX_MODULUS_BITS = 1024
PADDING_OVERHEAD = 11  # 00 01, at least eight FF, 00

_MODULUS_BYTES = _library.RSA_MAX_MODULUS_BYTES
_PRIME_BYTES = _library.RSA_MAX_PRIME_BYTES


class RsaError(Exception):
    """An RSA operation refused its input: ``code`` is RSA_E_DATA (a number
    not below the modulus, or malformed padding) or RSA_E_LENGTH."""

    def __init__(self, code: int, call: str) -> None:
        self.code = code
        self.call = call
        what = {RSA_E_DATA: "input not below the modulus, or padding malformed",
                RSA_E_LENGTH: "input length out of range for the key"}.get(code, "failed")
        super().__init__(f"{call}: {what} (0x{code:04X})")


def _number(value: object, what: str, max_bytes: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if value < 0 or value.bit_length() > 8 * max_bytes:
        raise ValueError(f"{what} must be a non-negative number of at most {8 * max_bytes} bits")
    return value


def _field(value: int, size: int) -> "ctypes.Array[ctypes.c_uint8]":
    return (ctypes.c_uint8 * size).from_buffer_copy(value.to_bytes(size, "big"))


def _check_modulus(modulus: int) -> None:
    if modulus < 3 or modulus % 2 == 0:
        raise ValueError("modulus must be an odd number of at least 3")


@dataclass(frozen=True)
class PublicKey:
    """An RSA public key (n, e) with n of at most 1024 bits."""

    modulus: int
    exponent: int

    def __post_init__(self) -> None:
        _number(self.modulus, "modulus", _MODULUS_BYTES)
        _check_modulus(self.modulus)
        _number(self.exponent, "exponent", _MODULUS_BYTES)

    @property
    def block_length(self) -> int:
        """k: the length of every block of this key, in bytes."""
        return (self.modulus.bit_length() + 7) // 8

    def _record(self) -> _library.RsaPublicKey:
        record = _library.RsaPublicKey()
        record.bitLength = self.modulus.bit_length()
        record.modulus = _field(self.modulus, _MODULUS_BYTES)
        record.publicExponent = _field(self.exponent, _MODULUS_BYTES)
        return record

    @classmethod
    def from_token_block(cls, block: BytesLike) -> "PublicKey":
        """The key of a token's public-key block (as ``Token.generate_key_pair``
        returns it): bit length and exponent (big-endian 32-bit each), four
        zero bytes, the modulus."""
        raw = _checks.data(block, "block", 12, 0xFFFF)
        bits = int.from_bytes(raw[0:4], "big")
        if bits > MAX_MODULUS_BITS:
            raise ValueError(f"software RSA takes keys of at most 1024 bits, not {bits}")
        modulus = int.from_bytes(raw[12:], "big")
        if len(raw) != 12 + (bits + 7) // 8 or modulus.bit_length() != bits:
            raise ValueError("block is not a token's public-key block")
        return cls(modulus, int.from_bytes(raw[4:8], "big"))


@dataclass(frozen=True)
class PrivateKey:
    """An RSA private key in the Chinese-remainder form the library computes
    with. ``private_exponent`` is carried, not used."""

    modulus: int
    public_exponent: int
    prime1: int
    prime2: int
    exponent1: int
    exponent2: int
    coefficient: int
    private_exponent: int = 0

    def __post_init__(self) -> None:
        _number(self.modulus, "modulus", _MODULUS_BYTES)
        _check_modulus(self.modulus)
        _number(self.public_exponent, "public_exponent", _MODULUS_BYTES)
        _number(self.private_exponent, "private_exponent", _MODULUS_BYTES)
        for name in ("prime1", "prime2", "exponent1", "exponent2", "coefficient"):
            _number(getattr(self, name), name, _PRIME_BYTES)
        # An inconsistent key gives a wrong result, not an error: refuse it here.
        if self.prime1 * self.prime2 != self.modulus:
            raise ValueError("prime1 * prime2 must equal the modulus")
        if self.coefficient * self.prime2 % self.prime1 != 1 % self.prime1:
            raise ValueError("coefficient must be the inverse of prime2 modulo prime1")

    @classmethod
    def from_primes(cls, p: int, q: int, public_exponent: int = 65537) -> "PrivateKey":
        """The key of two primes; the larger becomes prime1."""
        p, q = max(p, q), min(p, q)
        d = pow(public_exponent, -1, (p - 1) * (q - 1) // math.gcd(p - 1, q - 1))
        return cls(p * q, public_exponent, p, q, d % (p - 1), d % (q - 1), pow(q, -1, p), d)

    @classmethod
    def from_token_blocks(cls, public_block: BytesLike, private_block: BytesLike) -> "PrivateKey":
        """The key of a token's key pair: the modulus from the public block,
        the rest from the private block (bit length and exponent, 12 zero
        bytes, then p, q, d mod (p-1), d mod (q-1) and q^-1 mod p, k/2 bytes
        each)."""
        public = PublicKey.from_token_block(public_block)
        half = public.block_length // 2
        raw = _checks.data(private_block, "private_block", 20 + 5 * half, 20 + 5 * half)
        if int.from_bytes(raw[0:4], "big") != public.modulus.bit_length():
            raise ValueError("the blocks are of different key lengths")
        numbers = [int.from_bytes(raw[20 + i * half: 20 + (i + 1) * half], "big") for i in range(5)]
        return cls(public.modulus, int.from_bytes(raw[4:8], "big"), *numbers)

    @property
    def block_length(self) -> int:
        return (self.modulus.bit_length() + 7) // 8

    def public_key(self) -> PublicKey:
        return PublicKey(self.modulus, self.public_exponent)

    def _record(self) -> _library.RsaPrivateKey:
        record = _library.RsaPrivateKey()
        record.bitLength = self.modulus.bit_length()
        record.modulus = _field(self.modulus, _MODULUS_BYTES)
        record.publicExponent = _field(self.public_exponent, _MODULUS_BYTES)
        record.privateExponent = _field(self.private_exponent, _MODULUS_BYTES)
        record.prime1 = _field(self.prime1, _PRIME_BYTES)
        record.prime2 = _field(self.prime2, _PRIME_BYTES)
        record.exponent1 = _field(self.exponent1, _PRIME_BYTES)
        record.exponent2 = _field(self.exponent2, _PRIME_BYTES)
        record.coefficient = _field(self.coefficient, _PRIME_BYTES)
        return record


def _run(call: str, data: bytes, record: ctypes.Structure) -> bytes:
    function: Callable[..., int] = getattr(_library.library(), call)
    output = _library.output_buffer(_MODULUS_BYTES)
    length = ctypes.c_uint32(0)
    rc = function(output, ctypes.byref(length), _library.input_buffer(data), len(data),
                  ctypes.byref(record))
    if rc != 0:
        raise RsaError(rc, call)
    if length.value > _MODULUS_BYTES:
        raise RsaError(RSA_E_LENGTH, call)
    return bytes(output[: length.value])


def _key(key: object, kind: type, what: str):  # type: ignore[no-untyped-def]
    if not isinstance(key, kind):
        raise TypeError(f"{what} must be a {kind.__name__}, not {type(key).__name__}")
    return key


def public_block(data: BytesLike, key: PublicKey) -> bytes:
    """data^e mod n as k bytes; ``data`` (at most k bytes) must be below n."""
    key = _key(key, PublicKey, "key")
    raw = _checks.data(data, "data", 0, key.block_length)
    return _run("RsaPublicBlock", raw, key._record())


def public_decrypt(data: BytesLike, key: PublicKey) -> bytes:
    """The public operation, then the block-type-1 padding checked and removed."""
    key = _key(key, PublicKey, "key")
    raw = _checks.data(data, "data", 0, key.block_length)
    return _run("RsaPublicDecrypt", raw, key._record())


def private_block(data: BytesLike, key: PrivateKey) -> bytes:
    """data^d mod n (by the Chinese remainder theorem) as k bytes."""
    key = _key(key, PrivateKey, "key")
    raw = _checks.data(data, "data", 0, key.block_length)
    return _run("RsaPrivateBlock", raw, key._record())


def private_encrypt(data: BytesLike, key: PrivateKey) -> bytes:
    """``data`` (at most k - 11 bytes) padded with block type 1 to k bytes,
    then the private operation: a raw PKCS #1 v1.5 signature of ``data``."""
    key = _key(key, PrivateKey, "key")
    raw = _checks.data(data, "data", 0, max(key.block_length - PADDING_OVERHEAD, 0))
    return _run("RsaPrivateEncrypt", raw, key._record())
