#include "port/SystemCalls.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define ZOVREL_HAVE_PORT_IO 1
#endif

#include <cerrno>

int System_Calls::open(const char* path, int flags) {
    return ::open(path, flags);
}

int System_Calls::ioctl(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

int System_Calls::close(int fd) {
    return ::close(fd);
}

int System_Calls::ioperm(unsigned long from, unsigned long count, int turn_on) {
#ifdef ZOVREL_HAVE_PORT_IO
    return ::ioperm(from, count, turn_on);
#else
    (void)from, (void)count, (void)turn_on;
    errno = ENOSYS;
    return -1;
#endif
}

void System_Calls::outb(unsigned char value, unsigned short port) {
#ifdef ZOVREL_HAVE_PORT_IO
    ::outb(value, port);
#else
    (void)value, (void)port;
#endif
}

System_Calls& System_Calls::Real() {
    static System_Calls real;
    return real;
}
