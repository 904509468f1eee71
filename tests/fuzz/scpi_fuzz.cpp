// libFuzzer: bytes as a client sends them, in pieces, through the line
// reader into the instrument. Whatever arrives, every code sent is 0 to 127,
// every error entry keeps SCPI's form and length, the status byte is a byte,
// and what is held stays bounded.
#include "instrument/Instrument.h"
#include "instrument/LineInput.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void checkErrors(Instrument& instrument) {
    for (int i = 0; i <= static_cast<int>(Instrument::queueLimit); ++i) {
        const std::string entry = *instrument.execute("SYST:ERR?");
        const std::size_t quote = entry.find(",\"");
        require(quote != std::string::npos && entry.back() == '"');
        require(entry.size() - quote - 3 <= Instrument::descriptionLimit);
        if (entry == "0,\"No error\"") {
            return;
        }
    }
    require(false); // the queue holds no more than its limit
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Instrument::Board board;
    board.identity = "Zovrel,Zovrel Rev B,0,fuzz";
    board.send = [&board](int code) -> std::optional<std::string> {
        require(code >= 0 && code <= 127);
        if (code == 13) {
            return std::string(300, 'x'); // a port failure with a long text
        }
        board.lastCode = code;
        return std::nullopt;
    };
    Instrument instrument(board);
    LineInput input(64);
    // The first byte sets the size of the pieces the rest arrives in.
    const std::size_t piece = size > 0 ? 1 + data[0] % 32 : 1;
    for (std::size_t at = size > 0 ? 1 : 0; at < size; at += piece) {
        input.append(reinterpret_cast<const char*>(data + at), std::min(piece, size - at));
        while (auto line = input.next()) {
            if (line->tooLong) {
                instrument.pushError(-100, "too long");
                continue;
            }
            require(line->text.size() <= 64);
            instrument.start(line->text);
            while (!instrument.finished()) {
                instrument.step();
            }
            instrument.takeResponse();
        }
        require(input.room() <= LineInput::holdLimit);
    }
    const int status = instrument.statusByte(false);
    require(status >= 0 && status <= 255);
    checkErrors(instrument);
    return 0;
}
