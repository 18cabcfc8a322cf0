#include <cstring>

#include "check.hpp"

// Runs every registered case, or those whose name contains argv[1].
int main(int argc, char** argv) {
    int run = 0;
    for (const auto& c : check::registry()) {
        if (argc > 1 && !std::strstr(c.name, argv[1])) continue;
        ++run;
        const int before = check::failures();
        try {
            c.fn();
        } catch (const check::Abort&) {
        } catch (const std::exception& e) {
            check::report(c.name, 0, std::string("exception: ") + e.what());
        }
        if (check::failures() != before) std::cerr << "FAILED: " << c.name << "\n";
    }
    std::cout << run << " cases, " << check::failures() << " failed checks\n";
    return check::failures() == 0 ? 0 : 1;
}
