"""Wire format of the update check, written independently of the agent's C++ code.

AES-128-CBC with PKCS#7/#5 padding under the shared payload key and a fixed IV,
Base64 with the standard alphabet and no line breaks, and the urlencoded form body.
"""
import base64
import binascii
import urllib.parse

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

PAYLOAD_KEY = b"plorvastenumix27"
IV = b"9081726354453627"


def encrypt(plain: bytes, key: bytes = PAYLOAD_KEY) -> bytes:
    padder = padding.PKCS7(128).padder()
    data = padder.update(plain) + padder.finalize()
    enc = Cipher(algorithms.AES(key[:16]), modes.CBC(IV)).encryptor()
    return enc.update(data) + enc.finalize()


def decrypt(cipher: bytes, key: bytes = PAYLOAD_KEY) -> bytes:
    """Raises ValueError on a bad length or bad padding."""
    dec = Cipher(algorithms.AES(key[:16]), modes.CBC(IV)).decryptor()
    data = dec.update(cipher) + dec.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    return unpadder.update(data) + unpadder.finalize()


def b64encode(data: bytes) -> bytes:
    return base64.b64encode(data)


def b64decode(text: bytes) -> bytes:
    """Strict: raises ValueError on characters outside the alphabet."""
    try:
        return base64.b64decode(text, validate=True)
    except binascii.Error as err:
        raise ValueError(str(err)) from err


def parse_form(body: bytes) -> dict:
    """Parses an application/x-www-form-urlencoded body into {name: value-bytes}."""
    fields = {}
    for pair in body.split(b"&"):
        if not pair:
            continue
        name, _, value = pair.partition(b"=")
        fields[urllib.parse.unquote_to_bytes(name).decode()] = urllib.parse.unquote_to_bytes(value)
    return fields


def decode_query(body: bytes) -> bytes:
    """The clear query text carried in the "q" field of a posted form body."""
    return decrypt(b64decode(parse_form(body)["q"]))


def encode_answer(answer_text: bytes, wrap_lf: bool = False) -> bytes:
    """An answer body: Base64 of the ciphertext, optionally wrapped in single line feeds."""
    body = b64encode(encrypt(answer_text))
    return b"\n" + body + b"\n" if wrap_lf else body
