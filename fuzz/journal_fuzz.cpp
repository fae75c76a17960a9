// Any bytes as the record's journal (records.journal beside config.ini): reading never fails
// or hangs, and what was read writes out as a journal that reads back the same.
#include <cstdlib>

#include "ledger/record_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    std::vector<JournalEntry> entries;
    if (!ParseJournal(text, entries))
        return 0;
    const std::string written = JournalText(entries);
    std::vector<JournalEntry> again;
    if (!ParseJournal(written, again) || JournalText(again) != written ||
        again.size() != entries.size())
        std::abort();
    return 0;
}
