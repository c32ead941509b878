// How the system asks the windowed program to end, besides its own commands: SIGTERM and SIGINT
// on Linux; a console control event or the end of the session on Windows. Each ends it as END
// does.
#pragma once

#include <memory>

class Vorlinex;

// Lives while the requests are taken; its end restores what was there before.
class ProcessSignals {
public:
    virtual ~ProcessSignals() = default;
};

// Also makes a write into a pipe whose reader has gone, or past the file-size limit, a write
// that fails instead of the end of the program, where the system has such signals. Null when
// the requests could not be installed (the program then ends by its own commands only).
std::unique_ptr<ProcessSignals> installProcessSignals(Vorlinex& vorlinex);
