// The command line: the input split at NUL bytes is the argument list.
#include "VeltoraCryptoTokenKit/config/CommandLineParser.h"
#include "tests/fuzz/FuzzCheck.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = veltora::fuzz::textOf(data, size);
    std::vector<std::string> args;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\0', start);
        args.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    (void)veltora::CommandLineParser(args).extractConfiguration().description();
    return 0;
}
