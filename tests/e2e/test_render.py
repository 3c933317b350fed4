"""The rendering test mode draws one splash frame into a PNG file."""

from harness import Png, close, over, run, win_path

TRACK = (0xF1, 0xEC, 0xDA, 0xCC)
FILL = (0xF3, 0xCD, 0x76, 0xCC)
HEADING = "Mise à jour ..."
DETAIL = "Téléchargement 3/10 — 12.3 / 40.0 Mo"


def render(tmp_path, progress, heading=HEADING, detail=DETAIL, name="frame.png"):
    out = tmp_path / name
    result = run(["--render-test", win_path(out), progress, heading, detail])
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

