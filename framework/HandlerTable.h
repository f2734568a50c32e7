// A static table of handler entries chained to its base class's table: windows route messages
// through one, the application object routes commands through another.
#pragma once

#include <cstddef>

template <typename Entry>
struct HandlerTable {
    const HandlerTable* base; // null for the root table
    const Entry* entries;
    size_t count;

    // The first entry, in this table and then in its bases, for which matches(entry) holds.
    template <typename Match>
    const Entry* Find(Match matches) const noexcept {
        for (const HandlerTable* table = this; table != nullptr; table = table->base) {
            for (size_t i = 0; i < table->count; ++i) {
                if (matches(table->entries[i])) return &table->entries[i];
            }
        }
        return nullptr;
    }
};

template <typename Entry, size_t N>
constexpr HandlerTable<Entry> MakeHandlerTable(const HandlerTable<Entry>* base, const Entry (&entries)[N]) {
    return HandlerTable<Entry>{base, entries, N};
}
