// The settings hive read from any file text: reading never fails the process, and setting
// one value changes that value alone, so every other setting reads as it did.
#include <fstream>
#include <string>
#include <vector>

#include "core/ServerSettings.h"
#include "core/SettingsHive.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace velnor;

namespace {

constexpr const char* kNames[] = {"Port",    "DocRoot", "CgiRoot", "Timeout", "LogFile",
                                  "Servers", "",        "A",       "a\"b",    "x\\y"};
constexpr const char* kProbe = "FuzzProbe";

bool same(const HiveValue& a, const HiveValue& b) {
    return a.type == b.type && a.data == b.data;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fuzz::TempDirectory directory("hive");
    const std::string file = (directory.path() / "velnor.reg").string();
    // The first byte picks the probe's type (string, expandable string, binary, number), the
    // next 16 its data, the rest is the file.
    const std::uint32_t type = size > 0 ? kHiveString + data[0] % 4 : kHiveDword;
    const std::size_t head = size < 17 ? size : 17;
    std::vector<unsigned char> probe(data + (size > 0 ? 1 : 0), data + head);
    if (type == kHiveDword)
        probe.resize(4);
    if (type == kHiveString) {
        // A string is text: it ends at its first NUL unit, which it keeps.
        std::size_t units = 0;
        while (2 * units + 1 < probe.size() && (probe[2 * units] | probe[2 * units + 1]) != 0)
            ++units;
        probe.resize(2 * units);
        probe.push_back(0);
        probe.push_back(0);
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + head), std::streamsize(size - head));

    SettingsHive hive(file, kHiveKeyPath);
    std::vector<std::pair<bool, HiveValue>> before;
    for (const char* name : kNames) {
        HiveValue value;
        const bool found = hive.query(name, value);
        before.emplace_back(found, value);
    }
    if (!hive.setValue(kProbe, type, probe.data(), probe.size()))
        return 0; // a failed write leaves the file as it was
    HiveValue written;
    FUZZ_CHECK(hive.query(kProbe, written));
    FUZZ_CHECK(written.type == type && written.data == probe);
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        HiveValue value;
        const bool found = hive.query(kNames[i], value);
        FUZZ_CHECK(found == before[i].first);
        FUZZ_CHECK(!found || same(value, before[i].second));
    }
    return 0;
}
