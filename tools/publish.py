#!/usr/bin/python3
"""Publishes a Zelk release: a signed manifest and the content store it names.

    publish.py release SOURCE OUT [--channel NAME] [--bootstrapper EXE]
                       [--date STAMP] [--expires STAMP]
                       [--key primary|secondary|KEY.pem] [--password-env VAR]
    publish.py verify TREE|URL [--channel NAME] [--key primary|secondary|KEY.pem|HEX]...
    publish.py public-key primary|secondary|KEY.pem [--password-env VAR]
    publish.py new-key KEY.pem [--password-env VAR]

"release" writes OUT/CHANNEL/manifest.json, OUT/CHANNEL/manifest.sig and
OUT/CHANNEL/files/<sha256> for every file below SOURCE (and the bootstrapper). A file
of 1 MiB or more also gets a block map (see "Block maps" below), stored the same way
under its own digest, which the file's entry names as "blocks". The manifest names its
channel ("channel"), so that clients refuse it when it is served under another
channel's folder. A tree with a path that Windows would read differently, that the
client would skip, or that names the same file as another path on Windows is refused,
with every offending path named; so is a release whose manifest.json would be larger
than the 4 MiB (4194304 bytes) that clients accept.

"verify" checks a published channel, in a folder (the one served as /updates) or
at an http(s) base URL: the signature under the given public keys (by default the
two development keys), the channel field, the expiry still ahead, every path and
every file of the content store (present, right size and digest), every block map
(present, its digest, read as a client reads it, every block's digest against the
content) and the bootstrapper (a 64-bit Windows executable). It prints what it found
and exits 1 at the first kind of problem, naming each problem of that kind.
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
verify_bytes, format_manifest, manifest_entry, block_map, cut_blocks, read_block_map,
write_release and publish.
Needs Debian's python3-cryptography, and python3-numpy to cut block maps.
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
# Names Windows keeps for devices, whatever follows their first dot: the client
# skips every path with such a name (src/update/path_rules.h holds its rules).
_RESERVED_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} | {
    f"{kind}{n}" for kind in ("COM", "LPT") for n in list("0123456789") + ["\u00b9", "\u00b2",
                                                                          "\u00b3"]
}
# The client refuses a path it could not open below its launcher's folder: with its
# ".tmp" suffix within 259 UTF-16 units, its folder within 247. A publisher cannot
# know that folder (it holds the user's name); this leaves 100 units for it.
_CLIENT_FOLDER_ROOM = 100
# The largest manifest.json a client accepts (it stops reading beyond it): about 35,000
# file entries with short paths.
MANIFEST_CAP = 4194304
_LONGEST_PATH = 259 - 4 - 1 - _CLIENT_FOLDER_ROOM
_LONGEST_FOLDER = 247 - 1 - _CLIENT_FOLDER_ROOM


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


def manifest_entry(path, data, blocks=None):
    """A "files" element; blocks, when given, is the digest of the content's block map."""
    entry = {"path": path, "sha256": sha256_hex(data), "size": len(data)}
    if blocks is not None:
        entry["blocks"] = blocks
    return entry


def manifest_placeholder(path, size):
    """An entry of the same length as the one publish writes for a file of that size."""
    entry = {"path": path, "sha256": "0" * 64, "size": size}
    if size >= BLOCK_MAP_THRESHOLD:
        entry["blocks"] = "0" * 64
    return entry


def check_manifest_size(manifest_bytes):
    """Refuses a manifest that clients would not read: they take at most MANIFEST_CAP
    bytes, so such a release could never be installed."""
    if len(manifest_bytes) > MANIFEST_CAP:
        raise PublishError(
            f"the manifest would take {len(manifest_bytes)} bytes, more than the "
            f"{MANIFEST_CAP} bytes (4 MiB) that clients accept: publish fewer files or "
            f"shorter paths")


def _utf16_length(text):
    return len(text.encode("utf-16-le")) // 2


def path_problem(path):
    """Why the client would skip path (or read it as another name), or None."""
    if not isinstance(path, str) or not path:
        return "an empty path"
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return "not valid UTF-8"
    if path[0] in "/\\":
        return "starts with a separator"
    if ".." in path:
        return "contains '..'"
    for character in path:
        if ord(character) < 0x20 or character in '<>:"|?*':
            return f"{character!r} cannot appear in a Windows path"
    for name in re.split(r"[/\\]", path):
        if not name:
            return "has an empty name (a doubled or trailing separator)"
        if name == ".":
            return "has a '.' name"
        if name.endswith((" ", ".")):
            return f"Windows drops the trailing space or dot of {name!r}"
        if name.split(".")[0].rstrip(" ").upper() in _RESERVED_NAMES:
            return f"{name} is a reserved device name on Windows"
    folder = max(path.rfind("/"), path.rfind("\\"))
    if _utf16_length(path) > _LONGEST_PATH or (
            folder >= 0 and _utf16_length(path[:folder]) > _LONGEST_FOLDER):
        return (f"too long for a client whose launcher folder takes {_CLIENT_FOLDER_ROOM} "
                f"characters ({_LONGEST_PATH} at most, folders {_LONGEST_FOLDER})")
    return None


def path_key(path):
    """The name Windows compares: "/" as "\\", each letter upper-cased on its own (the
    file system's table maps one character to one, as str.upper does not for "ß")."""
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in path.replace("/", "\\"))


def path_problems(paths):
    """(path, reason) for every path the client would skip, or that names the same
    file as an earlier one."""
    problems, seen = [], {}
    for path in paths:
        reason = path_problem(path)
        if reason is None:
            key = path_key(path)
            if key in seen:
                reason = f"the same file as {seen[key]} on Windows"
            else:
                seen[key] = path
        if reason is not None:
            problems.append((path, reason))
    return problems


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
    # On Linux a backslash is part of a name; on Windows it separates folders.
    problems = [(path, "'\\' is a folder separator on Windows") for path, _ in found
                if "\\" in path]
    problems += path_problems(path for path, _ in found if "\\" not in path)
    problems.sort()
    if problems:
        listed = "\n".join(f"  {path}: {reason}" for path, reason in problems)
        raise PublishError(f"{len(problems)} path(s) the client cannot install as they are:\n"
                           f"{listed}")
    return found


# Block maps ---------------------------------------------------------------------------
# A file of BLOCK_MAP_THRESHOLD bytes or more gets a block map: its content-defined
# blocks, each with its size and SHA-256, so that a client holding an older copy fetches
# only the blocks it lacks. The client cuts its copy with the same rule
# (src/net/block_cutter.h): every parameter here is part of the map's version 1.
#
# A gear hash rolls over the bytes, hash = (hash << 1) + GEAR[byte] modulo 2^64, so the
# hash after a byte depends on that byte and the 63 before it. A block of length L may end
# after a byte whose hash has no bit set under BLOCK_MASK_STRICT while L < BLOCK_AVERAGE,
# under BLOCK_MASK_LOOSE from then on; none ends before BLOCK_MINIMUM bytes, one ends at
# BLOCK_MAXIMUM bytes whatever the hash says, and the last block is what remains.
#
# Map layout, integers little-endian: "ZBLK", the version byte (1), the block count
# (4 bytes), then per block its size (4 bytes) and its SHA-256 (32 bytes).

BLOCK_MAP_THRESHOLD = 1 << 20
BLOCK_MINIMUM = 16 * 1024
BLOCK_AVERAGE = 64 * 1024
BLOCK_MAXIMUM = 256 * 1024
BLOCK_MASK_STRICT = 0xFFFF_8000_0000_0000  # the 17 high bits
BLOCK_MASK_LOOSE = 0xFFFE_0000_0000_0000  # the 15 high bits
GEAR_SEED = 0x5A45_4C4B  # "ZELK"
BLOCK_MAP_MAGIC = b"ZBLK"
BLOCK_MAP_VERSION = 1
BLOCK_MAP_HEADER = 9
BLOCK_MAP_ENTRY = 36
_MASK64 = (1 << 64) - 1
# Hashes are computed for this many positions at once: small enough for the processor's
# caches, large enough that numpy's cost per call does not show.
_HASH_WINDOW = 1 << 17


def gear_table():
    """GEAR[i], the (i + 1)-th output of splitmix64 seeded with GEAR_SEED."""
    table, state = [], GEAR_SEED
    for _ in range(256):
        state = (state + 0x9E3779B97F4A7C15) & _MASK64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK64
        table.append(z ^ (z >> 31))
    return table


def _cut_candidates(view, np):
    """For consecutive stretches of view: (end of the stretch, positions in it whose hash
    passes the strict mask, positions whose hash passes the loose one). The hash of a
    position is the sum of GEAR[byte] << distance over the 64 bytes that end there,
    computed for a whole stretch at once by doubling the summed length: 1, 2, 4 ... 64."""
    gear = np.array(gear_table(), dtype=np.uint64)
    # A mask of high bits is passed exactly by the values below its lowest bit.
    strict_below = np.uint64((1 << 64) - BLOCK_MASK_STRICT)
    loose_below = np.uint64((1 << 64) - BLOCK_MASK_LOOSE)
    hashes = np.empty(_HASH_WINDOW + 63, dtype=np.uint64)
    shifted = np.empty_like(hashes)
    for start in range(0, len(view), _HASH_WINDOW):
        first = max(0, start - 63)
        piece = view[first:start + _HASH_WINDOW]
        count = len(piece)
        sums = hashes[:count]
        np.take(gear, piece, out=sums, mode="clip")
        for length in (1, 2, 4, 8, 16, 32):
            if length >= count:
                break
            np.left_shift(sums[:count - length], np.uint64(length), out=shifted[:count - length])
            np.add(sums[length:], shifted[:count - length], out=sums[length:])
        sums = sums[start - first:]
        loose = np.flatnonzero(sums < loose_below)
        strict = loose[sums[loose] < strict_below]
        yield start + len(sums), strict + start, loose + start


def cut_blocks(data):
    """The sizes of the content-defined blocks of data (bytes or a buffer), in order."""
    import numpy as np  # only publishing needs it
    view = np.frombuffer(data, dtype=np.uint8)
    total = len(view)
    sizes, start = [], 0
    strict = loose = np.empty(0, dtype=np.int64)
    for known, new_strict, new_loose in _cut_candidates(view, np):
        strict = np.concatenate((strict, new_strict))
        loose = np.concatenate((loose, new_loose))
        # A block is decided once the hashes of its longest extent are known.
        while start < total and (known == total or start + BLOCK_MAXIMUM <= known):
            limit = min(start + BLOCK_MAXIMUM, total)
            end = limit
            found = np.searchsorted(strict, start + BLOCK_MINIMUM - 1)
            if found < len(strict) and strict[found] < min(start + BLOCK_AVERAGE - 1, limit):
                end = int(strict[found]) + 1
            else:
                found = np.searchsorted(loose, start + BLOCK_AVERAGE - 1)
                if found < len(loose) and loose[found] < limit:
                    end = int(loose[found]) + 1
            sizes.append(end - start)
            start = end
        strict = strict[np.searchsorted(strict, start):]
        loose = loose[np.searchsorted(loose, start):]
    return sizes


def block_map(data):
    """The block map of data: its blocks as cut_blocks cuts them, with their digests."""
    view = memoryview(data)
    sizes = cut_blocks(view)
    parts = [BLOCK_MAP_MAGIC, bytes([BLOCK_MAP_VERSION]), len(sizes).to_bytes(4, "little")]
    offset = 0
    for size in sizes:
        parts += [size.to_bytes(4, "little"), hashlib.sha256(view[offset:offset + size]).digest()]
        offset += size
    return b"".join(parts)


def max_block_map_size(file_size):
    """The largest map a file can have (every block but the last of BLOCK_MINIMUM bytes
    at least): the cap a client reads it with."""
    return BLOCK_MAP_HEADER + BLOCK_MAP_ENTRY * -(-file_size // BLOCK_MINIMUM)


def read_block_map(data, file_size):
    """(sizes, digests) of a map describing a file of file_size bytes, as the client
    reads it; raises PublishError saying what is wrong with it."""
    if len(data) < BLOCK_MAP_HEADER or data[:4] != BLOCK_MAP_MAGIC or \
            data[4] != BLOCK_MAP_VERSION:
        raise PublishError(f"not a version {BLOCK_MAP_VERSION} block map")
    count = int.from_bytes(data[5:9], "little")
    if len(data) != BLOCK_MAP_HEADER + BLOCK_MAP_ENTRY * count:
        raise PublishError(f"{len(data)} bytes, not {BLOCK_MAP_HEADER} + "
                           f"{BLOCK_MAP_ENTRY} x {count} blocks")
    if count > -(-file_size // BLOCK_MINIMUM):
        raise PublishError(f"{count} blocks, more than a file of {file_size} bytes can hold")
    sizes, digests = [], []
    for index in range(count):
        at = BLOCK_MAP_HEADER + BLOCK_MAP_ENTRY * index
        size = int.from_bytes(data[at:at + 4], "little")
        smallest = 1 if index + 1 == count else BLOCK_MINIMUM
        if not smallest <= size <= BLOCK_MAXIMUM:
            raise PublishError(f"block {index} has {size} bytes, not {smallest} to "
                               f"{BLOCK_MAXIMUM}")
        sizes.append(size)
        digests.append(data[at + 4:at + BLOCK_MAP_ENTRY].hex())
    if sum(sizes) != file_size:
        raise PublishError(f"its blocks add up to {sum(sizes)} bytes, not the file's "
                           f"{file_size}")
    return sizes, digests


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
    if isinstance(manifest, dict):
        manifest_bytes = format_manifest(manifest)
        check_manifest_size(manifest_bytes)
    else:
        manifest_bytes = bytes(manifest)
    folder.mkdir(parents=True, exist_ok=True)

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

    manifest = {"date": date, "expires": expires, "channel": channel}
    if bootstrapper is not None:
        size = pathlib.Path(bootstrapper).stat().st_size
        manifest["bootstrapper"] = {"sha256": "0" * 64, "size": size}
    # Every digest has 64 characters, so the manifest's size is known from the paths and
    # sizes alone: a release too large for clients is refused before anything is stored.
    check_manifest_size(format_manifest(dict(manifest, files=[
        manifest_placeholder(path, file.stat().st_size) for path, file in files])))
    if bootstrapper is not None:
        data = pathlib.Path(bootstrapper).read_bytes()
        manifest["bootstrapper"] = {"sha256": store_content(folder, data), "size": len(data)}
    entries = []
    for path, file in files:
        data = file.read_bytes()
        store_content(folder, data)
        blocks = None
        if len(data) >= BLOCK_MAP_THRESHOLD:
            blocks = store_content(folder, block_map(data))
        entries.append(manifest_entry(path, data, blocks))
    manifest["files"] = entries
    return write_release(out, channel, manifest, key, password=password)


# Verifying ----------------------------------------------------------------------------

_HEX_DIGEST = re.compile(r"[0-9a-f]{64}")
_SIGNATURE_CAP = 4096
_CHUNK = 1 << 20


def _redirects_as_clients_follow(downgrade):
    """A redirect handler that follows what WinHTTP follows for the client (301, 302,
    303, 307, 308, at most 10 in a row) and, unless downgrade, refuses as WinHTTP's
    default policy does a redirect from https to http. The client lets only content
    files (checked against their signed digests) go from https to http."""
    import urllib.request

    class Redirects(urllib.request.HTTPRedirectHandler):
        max_redirections = 10

        def redirect_request(self, req, fp, code, msg, headers, newurl):
            if not downgrade and req.full_url.lower().startswith("https:") and \
                    newurl.lower().startswith("http:"):
                raise PublishError(f"{req.full_url} redirects from https to http ({newurl}): "
                                   "clients refuse that for the manifest and its signature")
            return super().redirect_request(req, fp, code, msg, headers, newurl)

    return Redirects()


class _Tree:
    """A published tree, a folder or an http(s) base URL, read the same way."""

    def __init__(self, location):
        self.location = str(location).rstrip("/")
        self.remote = re.match(r"https?://", self.location) is not None

    def _open(self, relative):
        """A binary stream, or None when there is no such file."""
        if not self.remote:
            try:
                return open(pathlib.Path(self.location, relative), "rb")
            except OSError:
                return None
        import urllib.error
        import urllib.request
        opener = urllib.request.build_opener(
            _redirects_as_clients_follow(downgrade="/files/" in f"/{relative}"))
        try:
            return opener.open(f"{self.location}/{relative}", timeout=30)
        except urllib.error.HTTPError as error:
            if error.code == 404:
                return None
            raise PublishError(f"{self.location}/{relative}: HTTP {error.code}") from None
        except OSError as error:
            raise PublishError(f"{self.location}/{relative}: {error}") from None

    def read(self, relative, limit):
        """The whole file (None when missing or larger than limit)."""
        stream = self._open(relative)
        if stream is None:
            return None
        with stream:
            data = stream.read(limit + 1)
        return data if len(data) <= limit else None

    def measure(self, relative, blocks=()):
        """(size, sha256 digest, first bytes, digests of its first blocks of the given
        sizes) of a file, read in pieces; None when missing."""
        stream = self._open(relative)
        if stream is None:
            return None
        digest, size, head = hashlib.sha256(), 0, b""
        sizes = iter(blocks)
        block, left, block_digests = hashlib.sha256(), next(sizes, None), []
        with stream:
            while chunk := stream.read(_CHUNK):
                head = head or chunk[:4096]
                digest.update(chunk)
                size += len(chunk)
                view = memoryview(chunk)
                while view and left is not None:
                    block.update(view[:left])
                    left, view = left - len(view[:left]), view[left:]
                    if left == 0:
                        block_digests.append(block.hexdigest())
                        block, left = hashlib.sha256(), next(sizes, None)
        return size, digest.hexdigest(), head, block_digests


def is_x64_executable(data):
    """The client's check of a bootstrapper: "MZ", a "PE\\0\\0" signature where e_lfanew
    points, machine x64 (0x8664), an executable image that is not a DLL."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return False
    pe = int.from_bytes(data[0x3C:0x40], "little")
    if pe > len(data) or len(data) - pe < 24 or data[pe:pe + 4] != b"PE\0\0":
        return False
    machine = int.from_bytes(data[pe + 4:pe + 6], "little")
    characteristics = int.from_bytes(data[pe + 22:pe + 24], "little")
    return machine == 0x8664 and characteristics & 0x0002 and not characteristics & 0x2000


def _verifying_key(key):
    if isinstance(key, str) and re.fullmatch(r"[0-9a-fA-F]{128}", key):
        return public_key_from_hex(key)
    return _public_key(key)


def _entries(manifest):
    """The manifest's file entries as (path, digest, size, block map digest or None),
    with what is malformed."""
    files = manifest.get("files", [])
    if not isinstance(files, list):
        return [], ["\"files\" is not a list"]
    entries, problems = [], []
    for position, element in enumerate(files):
        path = element.get("path") if isinstance(element, dict) else None
        digest = element.get("sha256") if isinstance(element, dict) else None
        size = element.get("size") if isinstance(element, dict) else None
        if not isinstance(path, str) or not isinstance(digest, str) or \
                not _HEX_DIGEST.fullmatch(digest) or type(size) is not int or size < 0:
            problems.append(f"files[{position}]: not a path, a lower-case SHA-256 and a size")
        elif "blocks" in element and not (isinstance(element["blocks"], str) and
                                          _HEX_DIGEST.fullmatch(element["blocks"])):
            problems.append(f"{path}: \"blocks\" is not a lower-case SHA-256 (clients ignore it)")
        else:
            entries.append((path, digest, size, element.get("blocks")))
    return entries, problems


def _check_content(tree, folder, what, digest, size, blocks=()):
    """Problems of one file of the content store; when it is sound, its first bytes and
    the digests of its blocks of the given sizes."""
    found = tree.measure(f"{folder}/files/{digest}", blocks)
    if found is None:
        return [f"{what}: files/{digest} is missing"], None, []
    problems = []
    if found[0] != size:
        problems.append(f"{what}: files/{digest} has {found[0]} bytes, the manifest says {size}")
    if found[1] != digest:
        problems.append(f"{what}: files/{digest} holds content whose digest is {found[1]}")
    return problems, found[2], found[3]


def _read_map(tree, folder, what, digest, size):
    """(block sizes, their digests, problems) of the block map files/digest of a file of
    size bytes; the sizes are empty when the map cannot be used."""
    name = f"files/{digest}"
    data = tree.read(f"{folder}/{name}", max_block_map_size(size))
    if data is None:
        return [], [], [f"{what}: block map {name} is missing (or larger than the map of a "
                        f"{size}-byte file can be)"]
    if sha256_hex(data) != digest:
        return [], [], [f"{what}: block map {name} holds content whose digest is "
                        f"{sha256_hex(data)}"]
    try:
        sizes, digests = read_block_map(data, size)
    except PublishError as error:
        return [], [], [f"{what}: block map {name}: {error}"]
    return sizes, digests, []


def _check_blocks(what, sizes, expected, found):
    """Each block whose digest in the content differs from the one its map gives."""
    problems, offset = [], 0
    for index, (size, wanted, actual) in enumerate(zip(sizes, expected, found)):
        if actual != wanted:
            problems.append(f"{what}: block {index} (bytes {offset} to {offset + size - 1}) has "
                            f"digest {actual}, its map says {wanted}")
        offset += size
    return problems


def verify(location, channel="release", keys=DEV_KEY_NAMES, now=None):
    """Checks one published channel. Returns (report, problems): what was found, and
    every problem of the first kind that has any (empty when the channel is sound).
    The kinds, in order: manifest and signature, channel, dates, paths, content, block
    maps, bootstrapper."""
    tree = _Tree(location)
    folder = _channel_folder("", channel).as_posix()
    report = [f"{tree.location}/{folder}"]
    try:
        manifest_bytes = tree.read(f"{folder}/manifest.json", MANIFEST_CAP)
        signature = tree.read(f"{folder}/manifest.sig", _SIGNATURE_CAP)
    except PublishError as error:
        return report, [str(error)]
    if manifest_bytes is None or signature is None:
        return report, ["manifest.json or manifest.sig is missing (or over the client's cap)"]
    names = [str(key) for key in keys]
    if not any(verify_bytes(manifest_bytes, signature, _verifying_key(key)) for key in keys):
        return report, [f"the signature is not valid under {', '.join(names)}"]
    try:
        manifest = json.loads(manifest_bytes.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        manifest = None
    if not isinstance(manifest, dict):
        return report, ["manifest.json is not a JSON object"]
    report.append(f"signature: valid under one of {', '.join(names)}")

    if manifest.get("channel") != channel:
        return report, [f"\"channel\" is {manifest.get('channel')!r}, not {channel!r}: "
                        "clients of this channel skip it, or accept it elsewhere"]
    report.append(f"channel: {channel}")

    date, expires = manifest.get("date"), manifest.get("expires")
    if not (isinstance(date, str) and _TIMESTAMP.fullmatch(date) and isinstance(expires, str)
            and _TIMESTAMP.fullmatch(expires)):
        return report, ["\"date\" and \"expires\" must both be YYYY-MM-DDTHH:MM:SSZ"]
    now = now or format_timestamp(datetime.datetime.now(datetime.timezone.utc))
    if expires < now:
        return report, [f"expired at {expires} (now {now})"]
    report.append(f"dated {date}, expires {expires}")

    entries, problems = _entries(manifest)
    problems += [f"{path}: {reason}" for path, reason in path_problems(e[0] for e in entries)]
    if problems:
        return report, problems
    report.append(f"paths: {len(entries)} usable")

    # Each content is read once, its blocks hashed on the way; a block map's problems
    # count only once the content it describes is sound.
    problems, map_problems, total, mapped, blocks = [], [], 0, 0, 0
    for path, digest, size, map_digest in entries:
        sizes, expected = [], []
        if map_digest is not None:
            sizes, expected, found = _read_map(tree, folder, path, map_digest, size)
            map_problems += found
            mapped += 1
            blocks += len(sizes)
        found, _, block_digests = _check_content(tree, folder, path, digest, size, sizes)
        problems += found
        if not found:
            map_problems += _check_blocks(path, sizes, expected, block_digests)
        total += size
    if problems:
        return report, problems
    report.append(f"content: {len(entries)} files, {total} bytes, each present and whole")
    if map_problems:
        return report, map_problems
    report.append(f"block maps: {mapped} files, {blocks} blocks, each block as its map says")

    bootstrapper = manifest.get("bootstrapper")
    if bootstrapper is not None:
        digest = bootstrapper.get("sha256") if isinstance(bootstrapper, dict) else None
        size = bootstrapper.get("size") if isinstance(bootstrapper, dict) else None
        if not isinstance(digest, str) or not _HEX_DIGEST.fullmatch(digest) or \
                type(size) is not int:
            return report, ["\"bootstrapper\" is not a lower-case SHA-256 and a size"]
        problems, head, _ = _check_content(tree, folder, "bootstrapper", digest, size)
        if not problems and not is_x64_executable(head):
            problems = ["bootstrapper: not a 64-bit Windows executable (clients keep theirs)"]
        if problems:
            return report, problems
        report.append(f"bootstrapper: {size} bytes, a 64-bit Windows executable")
    else:
        report.append("bootstrapper: none")
    return report, []


# Command line -------------------------------------------------------------------------


def _password(arguments):
    if not getattr(arguments, "password_env", None):
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

    check = commands.add_parser("verify", help="check a published channel")
    check.add_argument("tree", help="folder served as /updates, or its http(s) URL")
    check.add_argument("--channel", default="release", help="release, beta or latest")
    check.add_argument("--key", action="append", dest="keys",
                       help="primary, secondary, a PEM file or 128 hex (repeatable; "
                            "default: both development keys)")

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
        elif arguments.command == "verify":
            report, problems = verify(arguments.tree, arguments.channel,
                                      arguments.keys or DEV_KEY_NAMES)
            print("\n".join(report))
            for problem in problems:
                print(f"problem: {problem}")
            print(f"{len(problems)} problem(s)" if problems else "ok")
            return 1 if problems else 0
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
