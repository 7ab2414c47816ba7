// zrv: the command-line renderer built on the library.
#include "zrvOptions.h"
#include "zrvRenderCommand.h"

#include <exception>
#include <iostream>
#include <new>
#include <unistd.h>

int main(int argc, char** argv) {
    const zrv::ParseResult parsed = zrv::parse_command_line(argc, argv);
    switch (parsed.status) {
    case zrv::ParseStatus::help:
        std::cout << (parsed.command_given ? zrv::usage_text(parsed.options.command)
                                           : zrv::usage_text());
        return 0;
    case zrv::ParseStatus::error:
        std::cerr << "zrv: error: " << parsed.error << '\n';
        return 2;
    case zrv::ParseStatus::run:
        break;
    }
    try {
        const bool show_progress = !parsed.options.quiet && isatty(STDERR_FILENO) == 1;
        return zrv::run_command(parsed.options, std::cout, std::cerr, show_progress);
    } catch (const std::bad_alloc&) {
        std::cerr << "zrv: error: out of memory\n";
    } catch (const std::exception& e) {
        std::cerr << "zrv: error: " << e.what() << '\n';
    }
    return 1;
}
