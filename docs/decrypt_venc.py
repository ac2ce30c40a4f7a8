#!/usr/bin/python3
"""Decrypts an OrvCopy encrypted file (format ORVXTS01, version 1 or 2) with the Python
`cryptography` package, independently of OrvCopy itself.

    ORVCOPY_PASSWORD=secret /usr/bin/python3 decrypt_venc.py ENCRYPTED_FILE PLAIN_FILE

The password is read from the ORVCOPY_PASSWORD environment variable, or asked for on the
terminal. Only 128- and 256-bit files can be decrypted here: the package offers XTS-AES with
those key lengths only.
"""
import getpass
import hashlib
import hmac
import os
import struct
import sys

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.hkdf import HKDFExpand

HEADER_SIZE = 64
MAX_DATA_UNIT = 16 * 1024 * 1024


def derive_keys(password, key_length, iterations, salt):
    """K1, K2 and Km; salt None for version 1."""
    bits = str(key_length * 8).encode()
    if salt is None:
        salt, info, extra = b"OrvCopy-venc-v1:" + bits, b"OrvCopy-venc-v1 keys", 0
    else:
        info, extra = b"OrvCopy-venc-v2 keys:" + bits, 32
    master = hashlib.pbkdf2_hmac("sha256", password.encode("utf-16-le"), salt, iterations, 32)
    keys = HKDFExpand(hashes.SHA256(), 2 * key_length + 32 + extra, info).derive(master)
    return keys[:key_length], keys[key_length:2 * key_length], keys[2 * key_length:2 * key_length + 32]


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    if len(data) < HEADER_SIZE or data[:8] != b"ORVXTS01":
        sys.exit("not an OrvCopy encrypted file")
    version, key_length, unit_size, plain_size, iterations = struct.unpack_from("<HHIQI", data, 8)
    if version == 1:
        key_check, salt, nonce = data[32:48], None, bytes(12)
    else:
        key_check, salt, nonce = data[40:48], data[48:64], data[28:40]
    if version not in (1, 2) or key_length not in (16, 32) or unit_size < 64 or unit_size % 16:
        sys.exit("unsupported header: version %d, key length %d, data unit %d"
                 % (version, key_length, unit_size))
    password = os.environ.get("ORVCOPY_PASSWORD") or getpass.getpass("Password: ")
    k1, k2, km = derive_keys(password, key_length, iterations, salt)
    check = hmac.new(km, b"key check", "sha256").digest()[:len(key_check)]
    if not hmac.compare_digest(check, key_check):
        sys.exit("wrong password")

    # Each buffer of the data-unit size is one data unit (cut into units of at most 16 MiB),
    # numbered from 0; the XTS tweak is the sequence number, 128-bit little-endian, exclusive-or
    # the file's nonce in bytes 4 to 15 (version 2; version 1 has none).
    mask = int.from_bytes(bytes(4) + nonce, "little")
    body = data[HEADER_SIZE:]
    plain = bytearray()
    unit = 0
    for start in range(0, len(body), unit_size):
        buffer = body[start:start + unit_size]
        for offset in range(0, len(buffer), MAX_DATA_UNIT):
            piece = buffer[offset:offset + MAX_DATA_UNIT]
            tweak = (unit ^ mask).to_bytes(16, "little")
            decryptor = Cipher(algorithms.AES(k1 + k2), modes.XTS(tweak)).decryptor()
            plain += decryptor.update(piece) + decryptor.finalize()
            unit += 1
    with open(sys.argv[2], "wb") as f:
        f.write(plain[:plain_size])


if __name__ == "__main__":
    main()
