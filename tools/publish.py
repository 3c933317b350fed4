#!/usr/bin/python3
"""Publishes a Zelk release: a signed manifest and the content store it names.

    publish.py release SOURCE OUT [--channel NAME] [--bootstrapper EXE]
                       [--date STAMP] [--expires STAMP]
                       [--key primary|secondary|KEY.pem] [--password-env VAR]
    publish.py public-key primary|secondary|KEY.pem [--password-env VAR]
    publish.py new-key KEY.pem [--password-env VAR]

"release" writes OUT/CHANNEL/manifest.json, OUT/CHANNEL/manifest.sig and
OUT/CHANNEL/files/<sha256> for every file below SOURCE (and the bootstrapper).
Time stamps are YYYY-MM-DDTHH:MM:SSZ (UTC); the date defaults to now and the
expiry to the date plus 30 days. With the same inputs (an explicit date and
expiry included) a second run leaves every byte as it was: ECDSA signatures are
randomised, so a signature that still verifies for unchanged manifest bytes is kept.

The keys named primary and secondary are the development keys of tools/dev-keys,
for development and tests only. "public-key" prints a key's public half in the
128-hexadecimal form that the build takes (ZELK_PRIMARY_PUBLIC_KEY,
ZELK_SECONDARY_PUBLIC_KEY); "new-key" writes a new P-256 private key (mode 0600,
never over an existing file) and prints its public half.

As a module, for tests that craft unusual releases: sign_bytes, sign_raw,
verify_bytes, format_manifest, manifest_entry, write_release and publish.
Needs Debian's python3-cryptography.
"""

import argparse
import base64
import binascii
import datetime
import hashlib
import json
import os
import pathlib
import re
import sys
import tempfile

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import (
    decode_dss_signature,
    encode_dss_signature,
)

DEV_KEYS = pathlib.Path(__file__).resolve().parent / "dev-keys"
DEV_KEY_NAMES = ("primary", "secondary")
DEFAULT_LIFETIME = datetime.timedelta(days=30)
COORDINATE_SIZE = 32

_TIMESTAMP = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")
_CHANNEL = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._-]*")
# Names Windows keeps for devices, whatever the extension.
_RESERVED_NAMES = {"CON", "PRN", "AUX", "NUL"} | {
    f"{kind}{n}" for kind in ("COM", "LPT") for n in range(1, 10)
}


class PublishError(Exception):
    """A release that cannot be published as asked; the message says why."""


# Keys ---------------------------------------------------------------------------------


def dev_key_path(name):
    return DEV_KEYS / f"{name}-DEVELOPMENT-ONLY.pem"


def load_key(key, password=None):
    """A P-256 private key from a key object, "primary"/"secondary" or a PEM file."""
    if isinstance(key, ec.EllipticCurvePrivateKey):
        private = key
    else:
        path = dev_key_path(key) if key in DEV_KEY_NAMES else pathlib.Path(key)
        try:
            data = path.read_bytes()
        except OSError as error:
            raise PublishError(f"cannot read key {path}: {error.strerror}") from None
        try:
            private = serialization.load_pem_private_key(data, password=password)
        except (ValueError, TypeError) as error:
            raise PublishError(f"{path} is not a usable PEM private key: {error}") from None
    if not isinstance(private, ec.EllipticCurvePrivateKey) or not isinstance(
        private.curve, ec.SECP256R1
    ):
        raise PublishError("the signing key must be an ECDSA P-256 (secp256r1) key")
    return private


def _public_key(key, password=None):
    if isinstance(key, ec.EllipticCurvePublicKey):
        return key
    return load_key(key, password).public_key()


def public_key_hex(key, password=None):
    """The public half as the build takes it: X then Y, 32 bytes each, big-endian, in hex."""
    numbers = _public_key(key, password).public_numbers()
    return (
        numbers.x.to_bytes(COORDINATE_SIZE, "big") + numbers.y.to_bytes(COORDINATE_SIZE, "big")
    ).hex()


def public_key_from_hex(text):
    raw = bytes.fromhex(text)
    if len(raw) != 2 * COORDINATE_SIZE:
        raise PublishError("a public key is 128 hexadecimal characters")
    return ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + raw)


def new_key(path, password=None):
    """Writes a new P-256 private key as PKCS#8 PEM, readable by its owner only."""
    private = ec.generate_private_key(ec.SECP256R1())
    encryption = (
        serialization.BestAvailableEncryption(password)
        if password
        else serialization.NoEncryption()
    )
    pem = private.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption
    )
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise PublishError(f"{path} exists already; keys are never overwritten") from None
    with os.fdopen(descriptor, "wb") as file:
        file.write(pem)
    return private


# Signatures ---------------------------------------------------------------------------


def sign_raw(data, key, password=None):
    """ECDSA P-256 over SHA-256 of data, as r || s (32 bytes each, big-endian)."""
    der = load_key(key, password).sign(bytes(data), ec.ECDSA(hashes.SHA256()))
    r, s = decode_dss_signature(der)
    return r.to_bytes(COORDINATE_SIZE, "big") + s.to_bytes(COORDINATE_SIZE, "big")


def sign_der(data, key, password=None):
    """The same signature in DER form, which the client refuses (tests use it)."""
    return load_key(key, password).sign(bytes(data), ec.ECDSA(hashes.SHA256()))


def sign_bytes(data, key, password=None):
    """The text of a manifest.sig for data: Base64 of r || s, no header, no line end."""
    return base64.b64encode(sign_raw(data, key, password)).decode("ascii")


def verify_bytes(data, signature_text, key, password=None):
    """True when signature_text (as in manifest.sig) is valid for data under key."""
    if isinstance(signature_text, bytes):
        try:
            signature_text = signature_text.decode("ascii")
        except UnicodeDecodeError:
            return False
    try:
        raw = base64.b64decode(signature_text, validate=True)
    except (binascii.Error, ValueError):
        return False
    if len(raw) != 2 * COORDINATE_SIZE:
        return False
    r = int.from_bytes(raw[:COORDINATE_SIZE], "big")
    s = int.from_bytes(raw[COORDINATE_SIZE:], "big")
    try:
        _public_key(key, password).verify(
            encode_dss_signature(r, s), bytes(data), ec.ECDSA(hashes.SHA256())
        )
    except (InvalidSignature, ValueError):
        return False
    return True


# Manifest -----------------------------------------------------------------------------


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def format_timestamp(moment):
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def parse_timestamp(text, what):
    if not isinstance(text, str) or not _TIMESTAMP.fullmatch(text):
        raise PublishError(f"{what} must look like 2025-01-31T12:00:00Z, not {text!r}")
    try:
        moment = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")
    except ValueError:
        raise PublishError(f"{what} {text} is not a real time") from None
    return moment.replace(tzinfo=datetime.timezone.utc)


def _json(value):
    return json.dumps(value, ensure_ascii=False, separators=(", ", ": "))


def format_manifest(manifest):
    """UTF-8 bytes of a manifest object, always laid out the same way: one key per
    line, one array element per line, a final line end."""
    lines = ["{"]
    items = list(manifest.items())
    for index, (name, value) in enumerate(items):
        comma = "," if index + 1 < len(items) else ""
        if isinstance(value, list) and value:
            lines.append(f"  {_json(name)}: [")
            for position, element in enumerate(value):
                lines.append("    " + _json(element) + ("," if position + 1 < len(value) else ""))
            lines.append("  ]" + comma)
        else:
            lines.append(f"  {_json(name)}: {_json(value)}{comma}")
    lines.append("}")
    return ("\n".join(lines) + "\n").encode("utf-8")


def manifest_entry(path, data):
    return {"path": path, "sha256": sha256_hex(data), "size": len(data)}


def _check_release_path(path):
    """Refuses a name that Windows would read differently or that the client skips."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        raise PublishError(f"{path!r}: file names must be valid UTF-8") from None
    if ".." in path:
        raise PublishError(f"{path}: the client skips any path containing '..'")
    for character in path:
        if ord(character) < 0x20 or character in '\\:<>"|?*':
            raise PublishError(f"{path}: {character!r} cannot appear in a Windows path")
    for part in path.split("/"):
        if part.endswith((" ", ".")):
            raise PublishError(f"{path}: Windows drops a trailing space or dot of {part!r}")
        if part.split(".")[0].upper() in _RESERVED_NAMES:
            raise PublishError(f"{path}: {part} is a reserved device name on Windows")


def collect_files(source):
    """(relative path with "/" separators, file) for every file below source, by path."""
    source = pathlib.Path(source)
    if not source.is_dir():
        raise PublishError(f"{source} is not a folder")
    found = []
    for folder, folders, names in os.walk(source):
        for name in folders:
            if os.path.islink(os.path.join(folder, name)):
                raise PublishError(f"{os.path.join(folder, name)}: linked folders are not followed")
        for name in names:
            file = pathlib.Path(folder, name)
            if not file.is_file():
                raise PublishError(f"{file} is not a regular file")
            found.append((file.relative_to(source).as_posix(), file))
    found.sort(key=lambda item: item[0])
    seen = {}
    for path, _ in found:
        _check_release_path(path)
        folded = path.lower()
        if folded in seen:
            raise PublishError(f"{seen[folded]} and {path} are one file on Windows")
        seen[folded] = path
    return found


# Writing ------------------------------------------------------------------------------


def _write_atomically(target, data):
    """Readers see the old bytes or the new ones, never a half-written file."""
    target = pathlib.Path(target)
    descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=".publish-")
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def _write_if_different(target, data):
    target = pathlib.Path(target)
    try:
        if target.read_bytes() == data:
            return
    except OSError:
        pass
    _write_atomically(target, data)


def _channel_folder(out, channel):
    if not isinstance(channel, str) or not _CHANNEL.fullmatch(channel):
        raise PublishError(f"channel {channel!r} must be a plain folder name")
    return pathlib.Path(out) / channel


def store_content(channel_folder, data):
    """Stores data in the channel's content store under its digest; returns the digest."""
    digest = sha256_hex(data)
    store = pathlib.Path(channel_folder) / "files"
    store.mkdir(parents=True, exist_ok=True)
    _write_if_different(store / digest, data)
    return digest


def write_release(out, channel, manifest, key="primary", contents=(), signature=None,
                  password=None):
    """Writes out/channel/manifest.json as given (bytes verbatim, even malformed; a dict
    through format_manifest), its manifest.sig, and the content files.

    contents: byte strings stored under their digest, or a mapping of store names to
    bytes written as they are (a name that does not match its bytes included).
    signature: text written to manifest.sig instead of a signature made with key.
    Returns the channel folder."""
    folder = _channel_folder(out, channel)
    folder.mkdir(parents=True, exist_ok=True)
    manifest_bytes = format_manifest(manifest) if isinstance(manifest, dict) else bytes(manifest)

    if isinstance(contents, dict):
        store = folder / "files"
        store.mkdir(exist_ok=True)
        for name, data in contents.items():
            if not name or "/" in name or "\\" in name or name in (".", ".."):
                raise PublishError(f"{name!r} is not a file name in the content store")
            _write_if_different(store / name, bytes(data))
    else:
        for data in contents:
            store_content(folder, bytes(data))

    manifest_file = folder / "manifest.json"
    signature_file = folder / "manifest.sig"
    if signature is None:
        signature = _kept_signature(manifest_file, signature_file, manifest_bytes, key, password)
        if signature is None:
            signature = sign_bytes(manifest_bytes, key, password)
    if isinstance(signature, str):
        signature = signature.encode("ascii")
    _write_if_different(signature_file, signature)
    _write_if_different(manifest_file, manifest_bytes)
    return folder


def _kept_signature(manifest_file, signature_file, manifest_bytes, key, password):
    try:
        if manifest_file.read_bytes() != manifest_bytes:
            return None
        existing = signature_file.read_bytes()
    except OSError:
        return None
    return existing if verify_bytes(manifest_bytes, existing, key, password) else None


def publish(source, out, channel="release", key="primary", bootstrapper=None, date=None,
            expires=None, password=None):
    """Publishes every file below source (and the bootstrapper, when given) as one release
    of channel under out. Returns the channel folder."""
    folder = _channel_folder(out, channel)
    if pathlib.Path(source).is_dir() and folder.resolve().is_relative_to(
        pathlib.Path(source).resolve()
    ):
        raise PublishError("the output must not lie inside the source folder")
    files = collect_files(source)
    load_key(key, password)  # a bad key stops us before anything is written

    if date is None:
        date = format_timestamp(datetime.datetime.now(datetime.timezone.utc))
    published = parse_timestamp(date, "date")
    if expires is None:
        expires = format_timestamp(published + DEFAULT_LIFETIME)
    if parse_timestamp(expires, "expiry") < published:
        raise PublishError(f"the expiry {expires} comes before the date {date}")

    manifest = {"date": date, "expires": expires}
    if bootstrapper is not None:
        data = pathlib.Path(bootstrapper).read_bytes()
        manifest["bootstrapper"] = {"sha256": store_content(folder, data), "size": len(data)}
    entries = []
    for path, file in files:
        data = file.read_bytes()
        store_content(folder, data)
        entries.append(manifest_entry(path, data))
    manifest["files"] = entries
    return write_release(out, channel, manifest, key, password=password)


# Command line -------------------------------------------------------------------------


def _password(arguments):
    if not arguments.password_env:
        return None
    value = os.environ.get(arguments.password_env)
    if value is None:
        raise PublishError(f"the environment variable {arguments.password_env} is not set")
    return value.encode("utf-8")


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="publish.py", description="Publishes a signed Zelk release."
    )
    commands = parser.add_subparsers(dest="command", required=True)

    release = commands.add_parser("release", help="write a channel's manifest and files")
    release.add_argument("source", help="folder of the launcher's files")
    release.add_argument("out", help="root of the update server's /updates folder")
    release.add_argument("--channel", default="release", help="release, beta or latest")
    release.add_argument("--bootstrapper", help="the Zelk.exe of this release")
    release.add_argument("--date", help="publication time, YYYY-MM-DDTHH:MM:SSZ (now)")
    release.add_argument("--expires", help="expiry, YYYY-MM-DDTHH:MM:SSZ (date + 30 days)")
    release.add_argument("--key", default="primary",
                         help="primary, secondary (development keys) or a PEM file")

    public = commands.add_parser("public-key", help="print a key's public half in hex")
    public.add_argument("key", help="primary, secondary or a PEM file")

    create = commands.add_parser("new-key", help="write a new P-256 private key")
    create.add_argument("path", help="PEM file to create")

    for command in (release, public, create):
        command.add_argument("--password-env", metavar="VAR",
                             help="environment variable holding the PEM password")

    arguments = parser.parse_args(argv)
    try:
        password = _password(arguments)
        if arguments.command == "release":
            folder = publish(arguments.source, arguments.out, arguments.channel, arguments.key,
                             arguments.bootstrapper, arguments.date, arguments.expires, password)
            print(folder / "manifest.json")
        elif arguments.command == "public-key":
            print(public_key_hex(arguments.key, password))
        else:
            print(public_key_hex(new_key(arguments.path, password)))
    except PublishError as error:
        print(f"publish.py: error: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"publish.py: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
