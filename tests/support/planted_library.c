/* A library that someone plants in the folder a host starts the helper in,
   under the name of an engine module or of a library one needs. If it is
   ever loaded, it leaves a mark in that folder. */
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void leave_mark(void) {
    int mark = open("planted-library-ran", O_WRONLY | O_CREAT, 0644);
    if (mark >= 0) close(mark);
}
