// Fuzz target: the configuration image parser, on any bytes. A parsed image must describe only
// what the file holds: addresses within 14 bits and at most one word per data record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "control/config_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto sections = mv620::control::parseConfigImage({data, size});
    if (sections) {
        std::size_t words = 0;
        for (const auto& section : *sections) {
            if (section.address > 0x3FFF) {
                std::abort();
            }
            for (const std::uint32_t word : section.words) {
                if (word > (section.sixteenBit ? 0xFFFFU : 0xFFFFFFU)) {
                    std::abort();
                }
            }
            words += section.words.size();
        }
        if (words > size / mv620::control::kRecordBytes) {
            std::abort();
        }
    }
    return 0;
}
