#include "hardware/SystemCalls.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define ZOVREL_HAVE_PORT_IO 1
#endif

#include <cerrno>

int SystemCalls::open(const char* path, int flags) {
    return ::open(path, flags);
}

int SystemCalls::ioctl(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

int SystemCalls::close(int fd) {
    return ::close(fd);
}

int SystemCalls::ioperm(unsigned long from, unsigned long count, int turnOn) {
#ifdef ZOVREL_HAVE_PORT_IO
    return ::ioperm(from, count, turnOn);
#else
    (void)from, (void)count, (void)turnOn;
    errno = ENOSYS;
    return -1;
#endif
}

void SystemCalls::outb(unsigned char value, unsigned short port) {
#ifdef ZOVREL_HAVE_PORT_IO
    ::outb(value, port);
#else
    (void)value, (void)port;
#endif
}

SystemCalls& SystemCalls::real() {
    static SystemCalls real;
    return real;
}
