#!/usr/bin/env python3
"""Acts as the user of a program on an X display (Xvfb), without a window manager.

  x11user.py close TITLE [SECONDS]   asks the window titled TITLE to close, as a window manager's
                                     close button does (WM_DELETE_WINDOW)
  x11user.py key TITLE CHAR [SECONDS] types CHAR into the window titled TITLE until it closes
  x11user.py dismiss TITLE [SECONDS] closes every other shown window (message boxes) until none is
                                     left, then closes the window titled TITLE

Each waits up to SECONDS (default 30) for its window and exits 1 when it never appears.
The display is taken from DISPLAY; libX11 is reached through ctypes.
"""
import ctypes
import sys
import time

from ctypes import POINTER, byref, c_char_p, c_int, c_long, c_uint, c_ulong, c_void_p

xlib = ctypes.CDLL("libX11.so.6")
xlib.XOpenDisplay.restype = c_void_p
xlib.XOpenDisplay.argtypes = [c_char_p]
xlib.XDefaultRootWindow.restype = c_ulong
xlib.XDefaultRootWindow.argtypes = [c_void_p]
xlib.XInternAtom.restype = c_ulong
xlib.XInternAtom.argtypes = [c_void_p, c_char_p, c_int]
xlib.XQueryTree.argtypes = [c_void_p, c_ulong, POINTER(c_ulong), POINTER(c_ulong),
                            POINTER(POINTER(c_ulong)), POINTER(c_uint)]
xlib.XGetWindowProperty.argtypes = [c_void_p, c_ulong, c_ulong, c_long, c_long, c_int, c_ulong,
                                    POINTER(c_ulong), POINTER(c_int), POINTER(c_ulong),
                                    POINTER(c_ulong), POINTER(POINTER(ctypes.c_ubyte))]
xlib.XFree.argtypes = [c_void_p]
xlib.XSendEvent.argtypes = [c_void_p, c_ulong, c_int, c_long, c_void_p]
xlib.XFlush.argtypes = [c_void_p]
xlib.XSync.argtypes = [c_void_p, c_int]
xlib.XStringToKeysym.restype = c_ulong
xlib.XStringToKeysym.argtypes = [c_char_p]
xlib.XKeysymToKeycode.restype = ctypes.c_ubyte
xlib.XKeysymToKeycode.argtypes = [c_void_p, c_ulong]


class XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", c_int), ("y", c_int), ("width", c_int), ("height", c_int),
                ("border_width", c_int), ("depth", c_int), ("visual", c_void_p),
                ("root", c_ulong), ("c_class", c_int), ("bit_gravity", c_int),
                ("win_gravity", c_int), ("backing_store", c_int), ("backing_planes", c_ulong),
                ("backing_pixel", c_ulong), ("save_under", c_int), ("colormap", c_ulong),
                ("map_installed", c_int), ("map_state", c_int), ("all_event_masks", c_long),
                ("your_event_mask", c_long), ("do_not_propagate_mask", c_long),
                ("override_redirect", c_int), ("screen", c_void_p)]


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", c_int), ("serial", c_ulong), ("send_event", c_int),
                ("display", c_void_p), ("window", c_ulong), ("message_type", c_ulong),
                ("format", c_int), ("data", c_long * 5)]


class XKeyEvent(ctypes.Structure):
    _fields_ = [("type", c_int), ("serial", c_ulong), ("send_event", c_int),
                ("display", c_void_p), ("window", c_ulong), ("root", c_ulong),
                ("subwindow", c_ulong), ("time", c_ulong), ("x", c_int), ("y", c_int),
                ("x_root", c_int), ("y_root", c_int), ("state", c_uint), ("keycode", c_uint),
                ("same_screen", c_int)]


class XEvent(ctypes.Union):
    _fields_ = [("type", c_int), ("xclient", XClientMessageEvent), ("xkey", XKeyEvent),
                ("pad", c_long * 24)]


xlib.XGetWindowAttributes.argtypes = [c_void_p, c_ulong, POINTER(XWindowAttributes)]

CLIENT_MESSAGE, KEY_PRESS, KEY_RELEASE, IS_VIEWABLE = 33, 2, 3, 2

display = xlib.XOpenDisplay(None)
if not display:
    sys.exit("x11user: cannot open the display")
root = xlib.XDefaultRootWindow(display)


def atom(name):
    return xlib.XInternAtom(display, name.encode(), 0)


def title(window):
    for name in ("_NET_WM_NAME", "WM_NAME"):
        kind, fmt, count, after = c_ulong(), c_int(), c_ulong(), c_ulong()
        data = POINTER(ctypes.c_ubyte)()
        if xlib.XGetWindowProperty(display, window, atom(name), 0, 1024, 0, 0, byref(kind),
                                   byref(fmt), byref(count), byref(after), byref(data)) != 0:
            continue
        if data:
            text = ctypes.string_at(data, count.value).decode("utf-8", "replace")
            xlib.XFree(data)
            if fmt.value == 8:
                return text
    return None


def shown_windows():
    """(window, title) of every top-level window that is on screen."""
    parent, top = c_ulong(), c_ulong()
    children, count = POINTER(c_ulong)(), c_uint()
    if not xlib.XQueryTree(display, root, byref(top), byref(parent), byref(children),
                           byref(count)):
        return []
    found = []
    for i in range(count.value):
        attributes = XWindowAttributes()
        if not xlib.XGetWindowAttributes(display, children[i], byref(attributes)):
            continue
        if attributes.map_state == IS_VIEWABLE and not attributes.override_redirect:
            found.append((children[i], title(children[i])))
    if children:
        xlib.XFree(children)
    return found


def wait_for(name, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for window, text in shown_windows():
            if text == name:
                return window
        time.sleep(0.1)
    sys.exit("x11user: no window titled %r" % name)


def send(window, event, mask):
    xlib.XSendEvent(display, window, 0 if mask == 0 else 1, mask, byref(event))
    xlib.XSync(display, 0)


def close(window):
    event = XEvent()
    event.xclient.type = CLIENT_MESSAGE
    event.xclient.window = window
    event.xclient.message_type = atom("WM_PROTOCOLS")
    event.xclient.format = 32
    event.xclient.data[0] = atom("WM_DELETE_WINDOW")
    send(window, event, 0)


def type_char(window, char):
    code = xlib.XKeysymToKeycode(display, xlib.XStringToKeysym(char.encode()))
    for kind, mask in ((KEY_PRESS, 1), (KEY_RELEASE, 2)):
        event = XEvent()
        event.xkey.type = kind
        event.xkey.window = window
        event.xkey.root = root
        event.xkey.keycode = code
        event.xkey.same_screen = 1
        send(window, event, mask)


def dismiss(name, seconds):
    main = wait_for(name, seconds)
    quiet_since = time.monotonic()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        others = [w for w, text in shown_windows() if w != main]
        if others:
            quiet_since = time.monotonic()
            for window in others:
                close(window)
        elif time.monotonic() - quiet_since > 1.5:
            close(main)
            return
        time.sleep(0.3)
    sys.exit("x11user: boxes kept coming")


def main():
    command, name = sys.argv[1], sys.argv[2]
    if command == "key":
        seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 30
        window = wait_for(name, seconds)
        # A key that comes before the program has given the window the focus goes astray.
        for _ in range(20):
            type_char(window, sys.argv[3])
            time.sleep(0.5)
            if window not in [w for w, _ in shown_windows()]:
                return
        sys.exit("x11user: the window titled %r took no key" % name)
    else:
        seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 30
        if command == "close":
            close(wait_for(name, seconds))
        elif command == "dismiss":
            dismiss(name, seconds)
        else:
            sys.exit("x11user: unknown command %r" % command)


main()
