/*
 * Prints the shape of the X pointer's cursor as "WxH@x,y#hash", and the
 * screen's size as " screen=WxH".  Under Wine a cursor handle means nothing
 * outside the process that loaded it, but every process's cursor ends up as
 * the same X cursor image, so the operator judges shapes with this.
 */
#include <stdio.h>
#include <stdint.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

int main(void)
{
    Display *display = XOpenDisplay(NULL);
    if (display == NULL) return 1;
    XFixesCursorImage *image = XFixesGetCursorImage(display);
    if (image == NULL) return 1;

    /* FNV-1a over the ARGB pixels, which Xlib hands out as longs. */
    uint32_t hash = 2166136261u;
    for (unsigned long i = 0; i < (unsigned long)image->width * image->height; i++) {
        hash ^= (uint32_t)image->pixels[i];
        hash *= 16777619u;
    }
    printf("%ux%u@%u,%u#%08x screen=%dx%d\n", image->width, image->height, image->xhot,
            image->yhot, hash, DisplayWidth(display, DefaultScreen(display)),
            DisplayHeight(display, DefaultScreen(display)));
    XFree(image);
    XCloseDisplay(display);
    return 0;
}
