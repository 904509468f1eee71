#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

inline const std::filesystem::path parportProcfs = "/proc/sys/dev/parport";

// One parallel port as the kernel's parport driver lists it.
struct ParportEntry {
    std::string name;         // parport0
    unsigned baseAddress = 0; // the data register, 888 for 0x378
    std::string activeDevice; // who holds the port now; "none" when free
    std::filesystem::path device() const { return "/dev/" + name; }
};

// Every port under the procfs root; an entry whose base address cannot be read
// is left out. Empty when the parport driver is not loaded.
std::vector<ParportEntry> listParports(const std::filesystem::path& root = parportProcfs);

// Who holds the named port now ("none" when free); nothing when unknown.
std::optional<std::string> activeDevice(const std::string& name,
                                        const std::filesystem::path& root = parportProcfs);
