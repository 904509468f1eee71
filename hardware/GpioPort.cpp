#include "hardware/GpioPort.h"

#include "port/MessageText.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

std::string chipList() {
    std::vector<std::string> chips;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("gpiochip", 0) == 0) {
            chips.push_back(name);
        }
    }
    std::sort(chips.begin(), chips.end());
    std::string list;
    for (const std::string& chip : chips) {
        list += (list.empty() ? "" : ", ") + chip;
    }
    return list.empty() ? "none" : list;
}

} // namespace

std::optional<GpioMapping> readGpioMapping(const std::string& text, std::string& why) {
    GpioMapping mapping;
    const std::size_t colon = text.find(':', text.rfind("/dev/", 0) == 0 ? 5 : 0);
    mapping.chip = text.substr(0, colon);
    if (mapping.chip.empty() || colon == std::string::npos) {
        why = "a GPIO port is gpio:CHIP:D0=LINE,D1=LINE,D2=LINE[,D5=LINE...]";
        return std::nullopt;
    }
    std::string rest = text.substr(colon + 1);
    std::size_t at = 0;
    while (at <= rest.size()) {
        const std::size_t comma = std::min(rest.find(',', at), rest.size());
        const std::string pair = rest.substr(at, comma - at);
        at = comma + 1;
        const std::size_t equals = pair.find('=');
        if (pair.size() < 4 || pair[0] != 'D' || pair[1] < '0' || pair[1] > '7' || equals != 2 ||
            equals + 1 == pair.size()) {
            why = "'" + pair + "' is not DATA=LINE, such as D0=17 or D2=GPIO27";
            return std::nullopt;
        }
        std::string& line = mapping.lines[std::size_t(pair[1] - '0')];
        if (!line.empty()) {
            why = pair.substr(0, 2) + " is mapped twice";
            return std::nullopt;
        }
        line = pair.substr(3);
        for (const std::string& other : mapping.lines) {
            if (&other != &line && other == line) {
                why = "GPIO line '" + line + "' is mapped to two data lines";
                return std::nullopt;
            }
        }
    }
    for (int needed : {0, 1, 2}) {
        if (mapping.lines[std::size_t(needed)].empty()) {
            why = "D0 (data), D1 (clock) and D2 (select) must be mapped; D" +
                  std::to_string(needed) + " is not";
            return std::nullopt;
        }
    }
    return mapping;
}

GpioPort::GpioPort(GpioMapping mapping) : mapping_(std::move(mapping)) {}

std::string GpioPort::inUse(unsigned offset, const char* consumer) const {
    return "Line " + std::to_string(offset) + " of the GPIO chip " + printable(device_) +
           " is in use by '" + printable(consumer) +
           "': stop that program or free the line, then try again.";
}

void GpioPort::open() {
    device_ = mapping_.chip.rfind('/', 0) == 0 ? mapping_.chip : "/dev/" + mapping_.chip;
    UniqueFd chip(::open(device_.c_str(), O_RDWR | O_CLOEXEC));
    if (!chip) {
        const int error = errno;
        if (error == EACCES || error == EPERM) {
            throw PortError("Permission denied opening the GPIO chip " + printable(device_) + ".",
                            PortError::Remedy::AllowTheGpio);
        }
        throw PortError("The GPIO chip " + printable(device_) + " cannot be opened (" +
                        errorText(error) + "); the chips found are " + chipList() + ".");
    }
    gpiochip_info info{};
    if (::ioctl(chip.get(), GPIO_GET_CHIPINFO_IOCTL, &info) != 0) {
        throw PortError(printable(device_) + " is not a GPIO chip (" + errorText(errno) + ").");
    }
    offsets_.clear();
    dataLines_.clear();
    for (int data = 0; data < 8; ++data) {
        const std::string& wanted = mapping_.lines[std::size_t(data)];
        if (wanted.empty()) {
            continue;
        }
        std::optional<unsigned> offset;
        if (const auto number = readDecimal(wanted, 0xFFFF)) {
            offset = static_cast<unsigned>(*number);
        } else {
            for (unsigned i = 0; i < info.lines && !offset; ++i) {
                gpio_v2_line_info line{};
                line.offset = i;
                if (::ioctl(chip.get(), GPIO_V2_GET_LINEINFO_IOCTL, &line) == 0 &&
                    wanted == line.name) {
                    offset = i;
                }
            }
        }
        if (!offset || *offset >= info.lines) {
            throw PortError("Line '" + printable(wanted) + "' (for D" + std::to_string(data) +
                            ") is not on the GPIO chip " + printable(device_) + " ('" +
                            printable(info.label) + "', lines 0 to " +
                            std::to_string(info.lines - 1) + ").");
        }
        if (std::find(offsets_.begin(), offsets_.end(), *offset) != offsets_.end()) {
            throw PortError("Line '" + printable(wanted) + "' is mapped to two data lines.");
        }
        // A line another program holds is told before any line is requested:
        // the kernel drives each line as it takes it, and would drive the
        // free ones before finding the busy one.
        gpio_v2_line_info line{};
        line.offset = *offset;
        if (::ioctl(chip.get(), GPIO_V2_GET_LINEINFO_IOCTL, &line) == 0 &&
            (line.flags & GPIO_V2_LINE_FLAG_USED)) {
            throw PortError(inUse(*offset, line.consumer));
        }
        offsets_.push_back(*offset);
        dataLines_.push_back(data);
    }
    chip_ = std::move(chip);
}

void GpioPort::release() {
    lines_.reset();
    chip_.reset();
}

std::uint64_t GpioPort::valuesOf(std::uint16_t word) const {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < dataLines_.size(); ++i) {
        bits |= std::uint64_t((word >> dataLines_[i]) & 1) << i;
    }
    return bits;
}

void GpioPort::request(std::uint16_t word) {
    gpio_v2_line_request request{};
    for (std::size_t i = 0; i < offsets_.size(); ++i) {
        request.offsets[i] = offsets_[i];
    }
    request.num_lines = static_cast<__u32>(offsets_.size());
    std::strncpy(request.consumer, "zovrel", sizeof request.consumer - 1);
    request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    // Driven from the first instant with the first word's values.
    request.config.num_attrs = 1;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    request.config.attrs[0].attr.values = valuesOf(word);
    request.config.attrs[0].mask = (std::uint64_t(1) << offsets_.size()) - 1;
    if (::ioctl(chip_.get(), GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        const int error = errno;
        if (error == EBUSY) {
            for (const unsigned offset : offsets_) {
                gpio_v2_line_info line{};
                line.offset = offset;
                if (::ioctl(chip_.get(), GPIO_V2_GET_LINEINFO_IOCTL, &line) == 0 &&
                    (line.flags & GPIO_V2_LINE_FLAG_USED)) {
                    throw PortError(inUse(offset, line.consumer));
                }
            }
        }
        throw PortError("Requesting the lines of the GPIO chip " + printable(device_) +
                        " failed: " + errorText(error) + ".");
    }
    lines_ = UniqueFd(request.fd);
}

void GpioPort::put(std::uint16_t, std::uint16_t word) {
    if (!lines_) {
        request(word); // the request itself sets the first word
        return;
    }
    gpio_v2_line_values values{};
    values.bits = valuesOf(word);
    values.mask = (std::uint64_t(1) << offsets_.size()) - 1;
    if (::ioctl(lines_.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0) {
        throw PortError("Setting the lines of the GPIO chip " + printable(device_) +
                        " failed: " + errorText(errno) + ".");
    }
}
