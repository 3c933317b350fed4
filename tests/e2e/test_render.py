"""The rendering test mode draws one splash frame into a PNG file; with a DPI after the
texts, as a screen of that DPI shows it. Every message the program can show must end
before the card's right margin at 100, 125 and 150 % scale."""

import math
import subprocess

import pytest

from harness import Png, close, over, run, win_path

TRACK = (0xF1, 0xEC, 0xDA, 0xCC)
FILL = (0xF3, 0xCD, 0x76, 0xCC)
HEADING = "Mise à jour ..."
DETAIL = "Téléchargement 3/10 — 12.3 / 40.0 Mo"


def render(tmp_path, progress, heading=HEADING, detail=DETAIL, name="frame.png", dpi=None):
    out = tmp_path / name
    extra = [dpi] if dpi is not None else []
    result = run(["--render-test", win_path(out), progress, heading, detail, *extra])
    return result.returncode, out


def bar_colour_on_logo(png, x, colour, y=424):
    """The bar is translucent: compare with the logo pixel just outside it. The
    fill is drawn over the track."""
    under = over(TRACK, png.pixel(x, y - 8))
    return close(png.pixel(x, y), under if colour == TRACK else over(FILL, under), tolerance=10)


def test_half_progress_frame(tmp_path):
    code, out = render(tmp_path, "0.5")
    assert code == 0
    png = Png.load(out)
    assert (png.width, png.height) == (525, 525)
    for corner in [(0, 0), (524, 0), (0, 524), (524, 524)]:
        assert png.pixel(*corner)[3] == 0, corner
    assert png.pixel(262, 300)[3] == 255
    # The fill's round cap ends near 262.5 + 3; the track runs on to 489.
    assert bar_colour_on_logo(png, 250, FILL)
    assert bar_colour_on_logo(png, 280, TRACK)
    assert bar_colour_on_logo(png, 480, TRACK)


def test_full_and_unparsable_progress(tmp_path):
    code, out = render(tmp_path, "2", name="full.png")
    assert code == 0
    full = Png.load(out)
    assert bar_colour_on_logo(full, 480, FILL)
    assert bar_colour_on_logo(full, 40, FILL)

    code, out = render(tmp_path, "not-a-number", name="empty.png")
    assert code == 0
    empty = Png.load(out)
    assert bar_colour_on_logo(empty, 40, TRACK)
    assert bar_colour_on_logo(empty, 250, TRACK)


def text_pixels(png, top, bottom, left=30, right=400):
    """Pixels close to the text colour drawn over the dark card."""
    light = over((0xF1, 0xEC, 0xDA, 0xCC), (0x17, 0x21, 0x33))
    return sum(1 for y in range(top, bottom) for x in range(left, right)
               if close(png.pixel(x, y), light, tolerance=40))


def test_texts_are_drawn_in_their_lines(tmp_path):
    code, out = render(tmp_path, "0.5")
    assert code == 0
    png = Png.load(out)
    assert text_pixels(png, 389, 408) > 150   # heading, 16 px bold
    assert text_pixels(png, 438, 453) > 150   # detail, 12 px bold
    assert text_pixels(png, 455, 500) == 0    # nothing below the detail

    code, out = render(tmp_path, "0.5", heading="", detail="", name="blank.png")
    blank = Png.load(out)
    assert text_pixels(blank, 389, 408) == 0


def test_unwritable_output_fails(tmp_path):
    code, _ = render(tmp_path / "missing" / "folder", "0.5")
    assert code == 1


CLOCK = "manifeste périmé (2020-02-01T00:00:00Z) : plateforme ou horloge du PC à vérifier"
# Every heading and detail the program shows, as it pairs them (the download line with
# the widest counts it can have).
SCREENS = [
    ("Mise à jour ...", "Starting Zelk"),
    ("Mise à jour ...", "Recherche de mises à jour…"),
    ("Mise à jour ...", "Mise à jour de Zelk.exe"),
    ("Mise à jour ...", "Téléchargement 99999/99999 — 99999.9 / 99999.9 Mo"),
    ("Hors ligne", "Lancement de la version installée"),
    ("Mise à jour refusée", CLOCK),
    ("Mise à jour refusée", "manifeste plus ancien que la version installée : refusé"),
    ("Mise à jour refusée", "manifeste sans date d'expiration"),
    ("Mise à jour interrompue", "Lancement de la version installée"),
    ("Impossible d'installer Zelk", "Plateforme injoignable : vérifie ta connexion puis relance."),
    ("Impossible d'installer Zelk", "Téléchargement incomplet : relance Zelk."),
    ("Impossible d'installer Zelk", "Fichier verrouillé : ferme le launcher puis relance."),
    ("Impossible d'installer Zelk", "Espace disque insuffisant : libère de la place puis relance."),
    ("Impossible d'installer Zelk", CLOCK),
]
# Too long even at 80 % of its size: cut with an ellipsis, within the line all the same.
OVERLONG = ("Mise à jour refusée, " * 4, CLOCK + " " + CLOCK)


def differing(a, b, box):
    """How many pixels of box (x, y, width, height) differ between two pictures."""
    x, y, width, height = box
    region = f"[{width}x{height}+{x}+{y}]"
    out = subprocess.run(["compare", "-metric", "AE", "-fuzz", "2%", f"{a}{region}",
                          f"{b}{region}", "null:"], capture_output=True, text=True)
    return int(float(out.stderr.split()[0]))


@pytest.mark.parametrize("dpi", [96, 120, 144])
def test_every_message_ends_before_the_cards_margin(tmp_path, dpi):
    scale = max(dpi / 96, 1.0)
    side = int(scale * 525 + 0.5)
    # The lines end where the bar does, 36 pixels (at 100 %) from the card's edge.
    limit = math.ceil(489 * scale) + 1
    heading_band = (0, int(385 * scale), limit, int(25 * scale))
    detail_band = (0, int(435 * scale), limit, int(20 * scale))
    code, blank = render(tmp_path, "1", "", "", name=f"blank-{dpi}.png", dpi=dpi)
    assert code == 0
    assert Png.load(blank).width == side
    for number, (heading, detail) in enumerate(SCREENS + [OVERLONG]):
        code, frame = render(tmp_path, "1", heading, detail, name=f"{dpi}-{number}.png", dpi=dpi)
        assert code == 0
        assert differing(frame, blank, (limit, 0, side - limit, side)) == 0, (heading, detail)
        assert differing(frame, blank, heading_band) > 0, heading  # drawn, in its line
        assert differing(frame, blank, detail_band) > 0, detail

