"""Wrong uses; the type checker must reject every line marked below."""

import kestrin

k = kestrin.Kestrin(5)  # error: not a str
k.left_click("5")  # error: not an int
k.key_press(30)  # error: duration_ms missing
k.screenshot(screen="HEADLESS-1")  # error: no such keyword
name: int = k.screenshot()  # error: an array, not an int
k.button_down(1.5)  # error: neither a name nor a code
k.button_up("wheel")  # error: not a button name
k.outputs()[0].x = 3  # error: a read-only field
k.key_down(4.5)  # error: neither a code nor a name
k.type_text(["a"])  # error: not a str
k.capture(region=(0, 0, 8))  # error: a region has four numbers


class Mine(kestrin.Kestrin):  # error: the class is final
    pass


import kestrin.gnome  # noqa: E402

g = kestrin.gnome.Kestrin()
kestrin.gnome.Kestrin("wayland-0")  # error: it takes no display
g.key_down(4.5)  # error: neither a code nor a name
g.capture().grab()  # error: capture() returns nothing


class OnGnome(kestrin.gnome.Kestrin):  # error: the class is final
    pass
