#pragma once

// The few system calls that reach the port, behind one seam so that tests can
// stand in for the kernel. Each returns what the call returns and leaves errno
// as the call left it.
class SystemCalls {
public:
    virtual ~SystemCalls() = default;
    virtual int open(const char* path, int flags);
    virtual int ioctl(int fd, unsigned long request, void* argument);
    virtual int close(int fd);
    virtual int ioperm(unsigned long from, unsigned long count, int turnOn);
    virtual void outb(unsigned char value, unsigned short port);

    // The kernel's own.
    static SystemCalls& real();
};
