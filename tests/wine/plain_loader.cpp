// The control case of the planted-DLL test: the common controls by name,
// from the search path, which starts in the program's own folder.
#include <windows.h>

int main()
{
    return LoadLibraryA("comctl32.dll") ? 0 : 1;
}
