// What the extraction tests carry in place of the worker: a program that says who it is, so that a test can tell
// it ran the copy that was checked.
#include <cstdio>

int main()
{
    std::fputs("embedded test worker\n", stdout);
    return 0;
}
