#include "hardware/ParportDiscovery.h"

#include "port/MessageText.h"

#include <algorithm>
#include <fstream>
#include <system_error>

namespace {

std::optional<std::string> firstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    return line;
}

// The first field of base-addr, in decimal: "888\t1912".
std::optional<unsigned> baseAddress(const std::filesystem::path& file) {
    const auto line = firstLine(file);
    if (!line) {
        return std::nullopt;
    }
    const std::string_view text = *line;
    const auto value = readDecimal(text.substr(0, text.find_first_of(" \t")), 0xFFFFFFFF);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<unsigned>(*value);
}

std::string trimmed(std::string text) {
    const auto isSpace = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && isSpace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    return text;
}

} // namespace

std::vector<ParportEntry> listParports(const std::filesystem::path& root) {
    std::vector<ParportEntry> ports;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("parport", 0) != 0 || name.size() == 7 ||
            !std::all_of(name.begin() + 7, name.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        const auto base = baseAddress(entry.path() / "base-addr");
        if (!base) {
            continue;
        }
        ports.push_back({name, *base, activeDevice(name, root).value_or("none")});
    }
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    return ports;
}

std::optional<std::string> activeDevice(const std::string& name,
                                        const std::filesystem::path& root) {
    const auto line = firstLine(root / name / "devices" / "active");
    if (!line) {
        return std::nullopt;
    }
    return trimmed(*line);
}
