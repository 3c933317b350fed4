"""cmake/ZelkKeys.cmake: the public keys' format check and the generated header."""

import pathlib
import re
import subprocess

import pytest

HERE = pathlib.Path(__file__).resolve().parent
PRIMARY = (HERE.parents[1] / "tools" / "dev-keys" / "primary-DEVELOPMENT-ONLY.pub").read_text().strip()
SECONDARY = (HERE.parents[1] / "tools" / "dev-keys" / "secondary-DEVELOPMENT-ONLY.pub").read_text().strip()


def write_header(tmp_path, primary, secondary, development="OFF"):
    out = tmp_path / "built_in_keys.h"
    done = subprocess.run(["cmake", f"-DOUT={out}", f"-DPRIMARY={primary}",
                           f"-DSECONDARY={secondary}", f"-DDEVELOPMENT={development}",
                           "-P", str(HERE / "write_keys_header.cmake")],
                          capture_output=True, text=True)
    return done, out


def array(header, name):
    body = re.search(name + r" = \{([^}]*)\}", header).group(1)
    return bytes(int(value, 16) for value in body.split(","))


def test_header_carries_the_keys_in_order(tmp_path):
    done, out = write_header(tmp_path, PRIMARY.upper(), SECONDARY, "ON")
    assert done.returncode == 0, done.stderr
    header = out.read_text()
    assert array(header, "kPrimaryPublicKey") == bytes.fromhex(PRIMARY)
    assert array(header, "kSecondaryPublicKey") == bytes.fromhex(SECONDARY)
    assert "kDevelopmentKeys = true;" in header

    done, out = write_header(tmp_path, SECONDARY, PRIMARY)
    header = out.read_text()
    assert array(header, "kPrimaryPublicKey") == bytes.fromhex(SECONDARY)
    assert "kDevelopmentKeys = false;" in header


@pytest.mark.parametrize("value", [
    "",
    PRIMARY[:-1],
    PRIMARY + "0",
    PRIMARY[:-1] + "g",
    "0x" + PRIMARY[2:],
    PRIMARY[:64] + " " + PRIMARY[65:],
    PRIMARY[:64],  # X alone
])
def test_malformed_keys_stop_the_configure(tmp_path, value):
    for primary, secondary, name in ((value, SECONDARY, "ZELK_PRIMARY_PUBLIC_KEY"),
                                     (PRIMARY, value, "ZELK_SECONDARY_PUBLIC_KEY")):
        done, out = write_header(tmp_path, primary, secondary)
        assert done.returncode != 0
        assert name in done.stderr and "128 hexadecimal" in done.stderr
        assert not out.exists()
