/* Watches the X display for a window covering the whole screen: for each
 * "wait" line read on stdin it polls every millisecond until such a window is
 * mapped, then until the screen's pixel at (8, 8) turns silver, and prints
 * both moments on CLOCK_MONOTONIC (seconds), the clock of Python's
 * time.monotonic(), as "MAPPED PAINTED"; "timeout" after 10 s. A "gone" line
 * waits until no window covers the screen and prints "gone" (or "timeout").
 *
 * Usage: alert_observer   (DISPLAY from the environment) */
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void Pause(void) {
    const struct timespec ms = {0, 1000000};
    nanosleep(&ms, NULL);
}

/* Windows come and go between the listing and the question: not an error. */
static int IgnoreError(Display* d, XErrorEvent* e) {
    (void)d;
    (void)e;
    return 0;
}

static int ScreenCovered(Display* d, Window root, int width, int height) {
    Window parent, *children = NULL;
    unsigned count = 0;
    int found = 0;
    if (!XQueryTree(d, root, &root, &parent, &children, &count))
        return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable &&
            a.x <= 0 && a.y <= 0 && a.x + a.width >= width && a.y + a.height >= height)
            found = 1;
    }
    if (children)
        XFree(children);
    return found;
}

static int Silver(Display* d, Window root) {
    XImage* image = XGetImage(d, root, 8, 8, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        return 0;
    const unsigned long pixel = XGetPixel(image, 0, 0) & 0xFFFFFF;
    XDestroyImage(image);
    return pixel == 0xC0C0C0;
}

int main(void) {
    Display* d = XOpenDisplay(NULL);
    if (!d) {
        fprintf(stderr, "no display\n");
        return 1;
    }
    XSetErrorHandler(IgnoreError);
    const Window root = DefaultRootWindow(d);
    const int width = DisplayWidth(d, DefaultScreen(d));
    const int height = DisplayHeight(d, DefaultScreen(d));
    char line[64];
    while (fgets(line, sizeof line, stdin)) {
        const double limit = Now() + 10;
        if (strncmp(line, "gone", 4) == 0) {
            int covered;
            while ((covered = ScreenCovered(d, root, width, height)) && Now() < limit)
                Pause();
            printf("%s\n", covered ? "timeout" : "gone");
            fflush(stdout);
            continue;
        }
        if (strncmp(line, "wait", 4) != 0)
            continue;
        double mapped = 0, painted = 0;
        while (!mapped && Now() < limit) {
            if (ScreenCovered(d, root, width, height))
                mapped = Now();
            else
                Pause();
        }
        while (mapped && !painted && Now() < limit) {
            if (Silver(d, root))
                painted = Now();
            else
                Pause();
        }
        if (painted)
            printf("%.6f %.6f\n", mapped, painted);
        else
            printf("timeout\n");
        fflush(stdout);
    }
    XCloseDisplay(d);
    return 0;
}
