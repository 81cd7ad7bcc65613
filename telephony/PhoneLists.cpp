#include "telephony/PhoneLists.h"

#include <algorithm>

namespace qv {

TCallEntry* TCallList::Find(CallHandle handle)
{
    for (TCallEntry& entry : m_calls)
        if (entry.handle == handle)
            return &entry;
    return nullptr;
}

const TCallEntry* TCallList::Find(CallHandle handle) const
{
    for (const TCallEntry& entry : m_calls)
        if (entry.handle == handle)
            return &entry;
    return nullptr;
}

TCallEntry& TCallList::Ensure(CallHandle handle, int initialRing)
{
    if (TCallEntry* entry = Find(handle))
        return *entry;
    TCallEntry entry;
    entry.handle = handle;
    entry.ringCount = initialRing;
    m_calls.push_back(entry);
    return m_calls.back();
}

void TCallList::Remove(CallHandle handle)
{
    m_calls.erase(std::remove_if(m_calls.begin(), m_calls.end(),
                                 [handle](const TCallEntry& entry) { return entry.handle == handle; }),
                  m_calls.end());
}

std::vector<CallHandle> TCallList::Handles() const
{
    std::vector<CallHandle> handles;
    handles.reserve(m_calls.size());
    for (const TCallEntry& entry : m_calls)
        handles.push_back(entry.handle);
    return handles;
}

TPendingRequest* TPendingTable::Find(std::uint32_t requestId)
{
    for (TPendingRequest& entry : m_entries)
        if (entry.requestId == requestId)
            return &entry;
    return nullptr;
}

std::optional<TPendingRequest> TPendingTable::Take(std::uint32_t requestId)
{
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [requestId](const TPendingRequest& entry) {
        return entry.requestId == requestId;
    });
    if (it == m_entries.end())
        return std::nullopt;
    TPendingRequest entry = std::move(*it);
    m_entries.erase(it);
    return entry;
}

bool TPendingTable::HasCall(CallHandle call) const
{
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [call](const TPendingRequest& entry) { return entry.call == call; });
}

std::vector<std::uint32_t> TPendingTable::RequestIds() const
{
    std::vector<std::uint32_t> ids;
    ids.reserve(m_entries.size());
    for (const TPendingRequest& entry : m_entries)
        ids.push_back(entry.requestId);
    return ids;
}

std::vector<TPendingRequest> TPendingTable::TakeAll()
{
    std::vector<TPendingRequest> all = std::move(m_entries);
    m_entries.clear();
    return all;
}

} // namespace qv
