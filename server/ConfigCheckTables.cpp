// The table files of the program directory, line by line as the server reads them.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "content/ConfigTable.h"
#include "content/MimeTable.h"
#include "content/TableWalk.h"
#include "core/ServerSettings.h"
#include "http/RequestContext.h"
#include "server/ConfigCheck.h"

namespace velnor::check {
namespace {

using Line = ConfigTable::Line;
using LineKind = ConfigTable::LineKind;

// A file head's parts besides the content type and the server software, at their
// longest: version, status text, the other header names and values, the blank line and
// the terminator.
constexpr std::size_t kFileHeadOverhead = 15 + 1 + 40 + 10 + 24 + 18 + 20 + 17 + 29 + 16 + 4 + 1;
// A document is copied over the request target, whose area holds 259 bytes.
constexpr std::size_t kDocumentLimit = kTargetCapacity - 1;

// A table file read twice over: the first walk learns the last line of every name (the
// one in effect, since a later line replaces an earlier one of the same name), the second
// judges each line.
struct TableFile {
    const char* fileName;
    ByteBuffer text;
    ByteBuffer copy;
    TextTable lastLine; // name -> number of its last line

    bool read(const char16_t* programDirectory, const char16_t* name) noexcept {
        char16_t path[kSettingTextCapacity];
        std::size_t used = 0;
        for (const char16_t* part : {programDirectory, name})
            for (const char16_t* p = part; p && *p; ++p) {
                if (used + 1 >= kSettingTextCapacity)
                    return false;
                path[used++] = *p;
            }
        path[used] = 0;
        if (!ConfigTable::readFile(path, text) || text.isEmpty())
            return false;
        return copy.append(text.data, text.length) != 0;
    }

    // The line where a NUL byte ends what the server reads, or 0 when there is none.
    std::uint32_t nulLine() const noexcept {
        const std::size_t end = std::strlen(text.data);
        if (end >= text.length)
            return 0;
        std::uint32_t number = 1;
        for (std::size_t i = 0; i < end; ++i) {
            if (text.data[i] == '\n' || (text.data[i] == '\r' && text.data[i + 1] != '\n'))
                ++number;
        }
        return number;
    }

    void learnLastLines() noexcept {
        ConfigTable::walkLines(
            text.data,
            [](const Line& line, void* table) {
                if (line.kind == LineKind::Entry) {
                    char number[16];
                    std::snprintf(number, sizeof number, "%u", line.number);
                    static_cast<TextTable*>(table)->add(line.name, number);
                }
                return true;
            },
            &lastLine);
    }

    // The later line that replaces this one, or 0.
    std::uint32_t replacedOn(const Line& line) noexcept {
        const char* number = lastLine.value(line.name);
        const std::uint32_t last = number ? std::uint32_t(std::strtoul(number, nullptr, 10)) : 0;
        return last != line.number ? last : 0;
    }
};

// Comments and lines of blanks alone are no entries, and no mistakes either.
bool isQuiet(const Line& line) noexcept {
    if (line.kind == LineKind::Comment)
        return true;
    return line.kind == LineKind::NoName && line.text[std::strspn(line.text, " \t")] == '\0';
}

struct Judging {
    TableFile& file;
    Findings& findings;
    const void* subject; // what the file's judge needs besides the line
    bool resolve = true; // error documents: look them up under the document root
};

__attribute__((format(VELNOR_PRINTF_FORMAT, 3, 4))) void ignored(Judging& judging, const Line& line,
                                                                 const char* format, ...) noexcept {
    char why[2 * kSettingTextCapacity + 96];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(why, sizeof why, format, arguments);
    va_end(arguments);
    if (length >= 0)
        judging.findings.add("%s line %u: ignored: %s", judging.file.fileName, line.number, why);
}

struct TypeSubject {
    const MimeTable* table;
    std::size_t typeLimit;
};

bool judgeTypeLine(const Line& line, void* context) noexcept {
    Judging& judging = *static_cast<Judging*>(context);
    const auto& subject = *static_cast<const TypeSubject*>(judging.subject);
    if (isQuiet(line))
        return true;
    if (line.kind == LineKind::NoName) {
        ignored(judging, line, "no suffix (the line begins with a blank)");
        return true;
    }
    if (line.kind == LineKind::NoValue || line.value[0] == '\0') {
        ignored(judging, line, "type missing after %s", line.text);
        return true;
    }
    const char* name = line.name;
    if (name[0] != '.') {
        ignored(judging, line, "suffix %s does not begin with '.'", name);
    } else if (std::strpbrk(name + 1, "./\\") != nullptr) {
        // A path's key runs from its last '.', so it holds no other '.' or separator.
        ignored(judging, line, "suffix %s holds a second '.' or a separator: no file ends in it",
                name);
    } else if (std::strlen(line.value) > subject.typeLimit) {
        ignored(judging, line, "type for %s too long (at most %zu bytes fit a response head)", name,
                subject.typeLimit);
    } else if (const std::uint32_t later = judging.file.replacedOn(line)) {
        ignored(judging, line, "suffix %s is given again on line %u", name, later);
    } else if (const char* entry = findEntryNoCase(subject.table->entries(), name)) {
        if (std::strcmp(entry, name) != 0)
            ignored(judging, line, "suffix %s is already given as %s (case is ignored)", name,
                    entry);
        else if (std::strcmp(entryValue(entry), line.value) != 0)
            ignored(judging, line, "suffix %s is taken by a handler module", name);
    }
    return true;
}

bool isStatusName(const char* name) noexcept {
    return std::strlen(name) == 3 && name[0] >= '1' && name[0] <= '9' && name[1] >= '0' &&
           name[1] <= '9' && name[2] >= '0' && name[2] <= '9';
}

// The error document resolved as a request target for it would be, and judged as the
// detour judges it: a file or a program is served, anything else leaves the plain status.
void resolveDocument(Judging& judging, const Line& line) noexcept {
    const auto& config = *static_cast<const ServerConfig*>(judging.subject);
    RequestContext context;
    context.settings = &config;
    std::snprintf(context.target, sizeof context.target, "%s", line.value);
    const int status = context.resolveTarget();
    if (status == 200 || status == 304 || status == 999)
        return;
    const char* file = judging.file.fileName;
    if (status == 404)
        judging.findings.add("%s: %s document %s does not exist under DocRoot", file, line.name,
                             line.value);
    else
        judging.findings.add("%s: %s document %s names no file under DocRoot (status %d)", file,
                             line.name, line.value, status);
}

bool judgeDocumentLine(const Line& line, void* context) noexcept {
    Judging& judging = *static_cast<Judging*>(context);
    if (isQuiet(line))
        return true;
    if (line.kind == LineKind::NoName) {
        ignored(judging, line, "no status (the line begins with a blank)");
        return true;
    }
    if (line.kind == LineKind::NoValue || line.value[0] == '\0') {
        ignored(judging, line, "document missing after %s", line.text);
        return true;
    }
    if (!isStatusName(line.name))
        ignored(judging, line, "%s is not a status code", line.name);
    else if (std::strlen(line.value) > kDocumentLimit)
        ignored(judging, line, "document for %s longer than %zu bytes", line.name, kDocumentLimit);
    else if (const std::uint32_t later = judging.file.replacedOn(line))
        ignored(judging, line, "status %s is given again on line %u", line.name, later);
    else if (judging.resolve)
        resolveDocument(judging, line);
    return true;
}

void judgeFile(TableFile& file, Findings& findings, const void* subject,
               ConfigTable::LineVisitor judge, bool resolve = true) noexcept {
    if (const std::uint32_t line = file.nulLine())
        findings.add("%s line %u: a NUL byte: the rest of the file is ignored", file.fileName,
                     line);
    file.learnLastLines();
    Judging judging{file, findings, subject, resolve};
    ConfigTable::walkLines(file.copy.data, judge, &judging);
}

} // namespace

void checkTypeTable(const ServerSettings& settings, const char16_t* programDirectory,
                    Findings& findings) noexcept {
    TableFile file{"AddType.txt", {}, {}, {}};
    if (!file.read(programDirectory, u"\\AddType.txt"))
        return;
    MimeTable table;
    table.build(programDirectory);
    const std::size_t software = std::strlen(settings.serverSoftware);
    const std::size_t room = kResponseArea - kFileHeadOverhead;
    const TypeSubject subject{&table, software < room ? room - software : 0};
    judgeFile(file, findings, &subject, judgeTypeLine);
}

void checkErrorDocuments(const ServerSettings& settings, const char16_t* programDirectory,
                         bool resolveDocuments, Findings& findings) noexcept {
    TableFile file{"ErrorDocument.txt", {}, {}, {}};
    if (!file.read(programDirectory, u"\\ErrorDocument.txt"))
        return;
    ServerConfig config;
    config.fill(settings);
    judgeFile(file, findings, &config, judgeDocumentLine, resolveDocuments);
}

} // namespace velnor::check
