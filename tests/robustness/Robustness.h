// The robustness run: the real server under overload, garbage, resets, slow and hostile
// clients and a stop under load. Each probe starts a server of its own and reports one
// line; every loop in it is bounded in count and time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"
#include "tests/support/Processes.h"

namespace velnor::robustness {

using namespace std::chrono_literals;
using e2e::RawClient;
using e2e::ServerProcess;
using test::Clock;
using test::elapsedMs;

struct Outcome {
    bool ok = false;
    std::string detail;
};

// The sample tree, the access-log plug-in and `workers` workers; the caller adds its own
// documents and starts the server.
void prepare(ServerProcess& server, std::uint32_t workers);

// The complete answer to a closing HTTP/1.0 GET of /a.txt.
std::string alphaAnswer();
// True when a closing GET of /a.txt is answered in full, asking again after a busy answer
// for up to `patience` (a worker that has just closed may not be free yet).
bool servesNormally(int port, std::chrono::milliseconds patience = 3s);
// True while the process exists and has not ended (a zombie counts as ended).
bool alive(int pid);
// Descriptors the process holds, or -1 when they cannot be counted.
int openDescriptors(int pid);
// Resident memory in KiB, or -1 when unknown.
long residentKiB(int pid);
// "3.2 s"
std::string seconds(long ms);
// Runs `body(i)` on `count` threads at once and waits for them all.
void onThreads(int count, const std::function<void(int)>& body);

Outcome overloadProbe();
Outcome garbageProbe();
Outcome resetProbe();
Outcome slowClientProbe();
Outcome hugeBodyProbe();
Outcome fifoProbe();
Outcome stopUnderLoadProbe();

} // namespace velnor::robustness
