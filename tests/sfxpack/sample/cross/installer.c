/* The smallest installer: a Windows GUI program that ends at once. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR args, int show)
{
    (void)instance;
    (void)previous;
    (void)args;
    (void)show;
    return 0;
}
