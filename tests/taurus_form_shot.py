"""A Taurus form of a CountingInstrument device, as an operator opens it
(`taurus form DEVICE`), shown on the X display and saved as a picture. It
prints, as JSON, what the form's own widgets show for a few attributes, so
that a test can compare them with the device, and the quality of each.

    xvfb-run -a /usr/bin/python3 taurus_form_shot.py DEVICE PICTURE.png [UNKNOWN,...]

The attributes named last are those the device does not know yet: the form
is taken once every other row shows a value.
"""

import json
import sys
import time

from taurus.external.qt import Qt
from taurus.qt.qtgui.application import TaurusApplication
from taurus.qt.qtgui.panel import TaurusForm

# (Not Status: Taurus 5.0's form fails to colour its row.)
ATTRIBUTES = ["State", "Run", "Threshold", "Polarity", "Period", "DataSize", "CountRate",
              "WordsTaken", "WordsLost", "Identity"]


def shown_value(item):
    """The value the row's attribute holds, as the form's widgets show it."""
    attribute = item.getModelObj()
    value = attribute.read(cache=True).rvalue if attribute is not None else None
    value = getattr(value, "magnitude", value)  # a quantity, with its unit
    if hasattr(value, "name"):  # a state
        return value.name
    return value.item() if hasattr(value, "item") else value


def quality(item):
    attribute = item.getModelObj()
    return attribute.read(cache=True).quality.name if attribute is not None else None


def main():
    device, picture = sys.argv[1], sys.argv[2]
    unknown = set(sys.argv[3].split(",")) if len(sys.argv) > 3 else set()
    app = TaurusApplication(sys.argv[:1], cmd_line_parser=None)
    form = TaurusForm()
    form.setWindowTitle(device)
    form.setModel([f"{device}/{name}" for name in ATTRIBUTES])
    form.resize(720, 440)
    form.show()
    # Until every row has shown a value read from the device, or 20 s.
    deadline = time.monotonic() + 20
    shown = {}
    while time.monotonic() < deadline:
        app.processEvents(Qt.QEventLoop.AllEvents, 100)
        shown = {item.getModelName().rsplit("/", 1)[-1]: shown_value(item) for item in form.getItems()}
        if len(shown) == len(ATTRIBUTES) and all(v is not None for k, v in shown.items() if k not in unknown):
            break
        time.sleep(0.1)
    for _ in range(20):  # the last paints
        app.processEvents(Qt.QEventLoop.AllEvents, 50)
        time.sleep(0.05)
    if not form.grab().save(picture, "PNG"):
        sys.exit("could not save " + picture)
    qualities = {item.getModelName().rsplit("/", 1)[-1]: quality(item) for item in form.getItems()}
    print(json.dumps({"shown": shown, "quality": qualities}))


if __name__ == "__main__":
    main()
