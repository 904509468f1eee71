#include "port/PortFault.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string Program_Fault(std::uint16_t address, std::uint16_t word) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "program fault: the word 0x%04X to address 0x%03X was refused: only the data "
                  "register at 0x378 is written, and only with a high byte of 0. Nothing was "
                  "written.",
                  word, address);
    return text;
}

std::string Error_Text(int error) {
    const char* name = nullptr;
    switch (error) {
    case EACCES:
        name = "EACCES";
        break;
    case EPERM:
        name = "EPERM";
        break;
    case ENOENT:
        name = "ENOENT";
        break;
    case ENOTTY:
        name = "ENOTTY";
        break;
    case ENXIO:
        name = "ENXIO";
        break;
    case ENODEV:
        name = "ENODEV";
        break;
    case EBUSY:
        name = "EBUSY";
        break;
    case EIO:
        name = "EIO";
        break;
    case EINVAL:
        name = "EINVAL";
        break;
    case ENOSYS:
        name = "ENOSYS";
        break;
    default:
        break;
    }
    std::string text = std::strerror(error);
    if (name) {
        text += std::string(" (") + name + ")";
    }
    return text;
}
