// SPDX-License-Identifier: Apache-2.0
// A bare X11 tray host for the Java keeper's screen test, which takes the tray over from
// the host that holds it, as a new panel replaces an old one (trayer will not start beside
// another). It shows a 200x40 window on the screen's bottom edge (at the right with the
// argument "right"), claims _NET_SYSTEM_TRAY_S0, announces itself on the root window,
// prints "ready", and docks each icon that asks with XEmbed in the next 24x24 slot. When
// another host takes the tray from it, it lets its icons go, as a panel that is replaced
// does, and stays until it is ended.
//
//   g++ -std=c++17 -Wall -Wextra -Werror -O2 -o takeover takeover.cpp -lX11
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSlot = 24, kWidth = 200, kHeight = 40;

// Icons belong to other clients and may be gone by the time we touch them.
int onXError(Display*, XErrorEvent*) { return 0; }

void send(Display* dpy, Window to, long mask, Atom type, std::initializer_list<long> data) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = to;
    ev.xclient.message_type = type;
    ev.xclient.format = 32;
    std::copy(data.begin(), data.end(), ev.xclient.data.l);
    XSendEvent(dpy, to, False, mask, &ev);
}

}  // namespace

int main(int argc, char** argv) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return 1;
    XSetErrorHandler(onXError);
    int screen = DefaultScreen(dpy);
    Window root = RootWindow(dpy, screen);
    Atom selection = XInternAtom(dpy, "_NET_SYSTEM_TRAY_S0", False);
    Atom opcode = XInternAtom(dpy, "_NET_SYSTEM_TRAY_OPCODE", False);

    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixel = WhitePixel(dpy, screen);
    attrs.event_mask = PropertyChangeMask;
    bool right = argc > 1 && std::string(argv[1]) == "right";
    Window win = XCreateWindow(dpy, root, right ? DisplayWidth(dpy, screen) - kWidth : 0,
                               DisplayHeight(dpy, screen) - kHeight, kWidth, kHeight, 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attrs);
    XMapRaised(dpy, win);
    // A selection is taken with a real server time: a property change brings one.
    XChangeProperty(dpy, win, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>("tray"), 4);
    XEvent ev;
    XWindowEvent(dpy, win, PropertyChangeMask, &ev);
    Time now = ev.xproperty.time;
    XSetSelectionOwner(dpy, selection, win, now);
    if (XGetSelectionOwner(dpy, selection) != win) return 1;
    // The old host lets go of its icons as soon as it loses the tray; announced a moment
    // later, as a busy panel may be, the new host comes to AWT's notice only after that.
    XSync(dpy, False);
    usleep(300 * 1000);
    send(dpy, root, StructureNotifyMask, XInternAtom(dpy, "MANAGER", False), {long(now), long(selection), long(win)});
    XSync(dpy, False);
    std::puts("ready");
    std::fflush(stdout);

    std::vector<Window> slots(kWidth / kSlot, None);
    for (;;) {
        XNextEvent(dpy, &ev);
        if (ev.type == SelectionClear) {
            for (Window& icon : slots)
                if (icon != None) {
                    XUnmapWindow(dpy, icon);
                    XRemoveFromSaveSet(dpy, icon);
                    XReparentWindow(dpy, icon, root, 0, 0);
                    icon = None;
                }
            XFlush(dpy);
        } else if (ev.type == DestroyNotify || (ev.type == ReparentNotify && ev.xreparent.parent != win)) {
            std::replace(slots.begin(), slots.end(), ev.xany.window, Window(None));
        } else if (ev.type == ClientMessage && ev.xclient.message_type == opcode && ev.xclient.data.l[1] == 0) {
            Window icon = ev.xclient.data.l[2];  // SYSTEM_TRAY_REQUEST_DOCK
            auto slot = std::find(slots.begin(), slots.end(), None);
            XWindowAttributes wa;
            // Watched first, then looked at: its end is then sure to be told.
            XSelectInput(dpy, icon, StructureNotifyMask);
            if (slot == slots.end() || std::count(slots.begin(), slots.end(), icon) ||
                !XGetWindowAttributes(dpy, icon, &wa))
                continue;
            *slot = icon;
            XAddToSaveSet(dpy, icon);
            XReparentWindow(dpy, icon, win, int(slot - slots.begin()) * kSlot, (kHeight - kSlot) / 2);
            XResizeWindow(dpy, icon, kSlot, kSlot);
            XMapRaised(dpy, icon);
            send(dpy, icon, NoEventMask, XInternAtom(dpy, "_XEMBED", False), {CurrentTime, 0, 0, long(win)});
            XFlush(dpy);  // XEMBED_EMBEDDED_NOTIFY above
        }
    }
}
