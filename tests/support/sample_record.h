#pragma once

#include <string>
#include <string_view>

#include "ledger/record_fields.h"

// A record with every field of kRecordFields set to a value of its own, made from the list: a
// new field is covered by the tests that use it as soon as it is in the list. Texts hold what
// must survive every round trip (a tab, a quote, a backslash, a control character, UTF-8).
inline DownloadRecord SampleRecord() {
    // Fields whose values the record's checks constrain.
    const struct {
        std::string_view key;
        std::string_view value;
    } fixed[] = {{"verdict", "failed"}, {"outcome", "stopped"}, {"sn_state", "written"}};
    DownloadRecord r;
    std::int64_t number = 1000;
    for (const RecordField& f : kRecordFields) {
        const std::string key = f.journalKey ? f.journalKey : f.column;
        std::string text = key + " \t\"x\\ \x01 \xC3\xA9";
        for (const auto& c : fixed)
            if (c.key == key)
                text = c.value;
        if (f.kind == RecordField::Kind::kInteger)
            f.set(r, number += 7);
        else
            f.set(r, std::string_view(text));
    }
    return r;
}
