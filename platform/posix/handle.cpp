#include "handle.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "errors.h"
#include "kernel.h"

namespace pelmora::platform {
namespace {

struct HandleTable {
    std::shared_mutex lock;
    std::unordered_map<uintptr_t, ObjectPtr> entries;
    uintptr_t next = 0x100;
};

HandleTable &Table()
{
    static HandleTable *table = new HandleTable;  // never destroyed: threads may outlive main
    return *table;
}

struct NameTable {
    std::mutex lock;
    std::unordered_map<std::string, std::weak_ptr<Object>> entries;
};

NameTable &Names()
{
    static NameTable *names = new NameTable;
    return *names;
}

}  // namespace

HANDLE InsertHandle(ObjectPtr object)
{
    HandleTable &table = Table();
    std::unique_lock<std::shared_mutex> guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    table.entries.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

ObjectPtr LookupHandle(HANDLE handle)
{
    // GetCurrentThread()'s pseudo-handle names the calling thread, as on Windows.
    if (handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)))
        return CurrentThreadObject();
    HandleTable &table = Table();
    {
        std::shared_lock<std::shared_mutex> guard(table.lock);
        auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
        if (it != table.entries.end())
            return it->second;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

ObjectPtr RemoveHandle(HANDLE handle)
{
    HandleTable &table = Table();
    ObjectPtr object;
    {
        std::unique_lock<std::shared_mutex> guard(table.lock);
        auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
        if (it == table.entries.end())
            return nullptr;
        object = std::move(it->second);
        table.entries.erase(it);
    }
    return object;  // released outside the table lock: destructors may take other locks
}

ObjectPtr FindNamed(const std::string &name)
{
    NameTable &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    auto it = names.entries.find(name);
    if (it == names.entries.end())
        return nullptr;
    ObjectPtr alive = it->second.lock();
    if (!alive)
        names.entries.erase(it);
    return alive;
}

ObjectPtr FindOrRegisterNamed(const std::string &name, const ObjectPtr &created)
{
    NameTable &names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    auto it = names.entries.find(name);
    if (it != names.entries.end()) {
        if (ObjectPtr alive = it->second.lock())
            return alive;
    }
    if (created)
        names.entries[name] = created;
    return nullptr;
}

}  // namespace pelmora::platform

BOOL CloseHandle(HANDLE hObject)
{
    if (!pelmora::platform::RemoveHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL DuplicateHandle(HANDLE, HANDLE hSourceHandle, HANDLE, HANDLE *lpTargetHandle, DWORD, BOOL,
                     DWORD)
{
    pelmora::platform::ObjectPtr object = pelmora::platform::LookupHandle(hSourceHandle);
    if (!object || !lpTargetHandle)
        return FALSE;
    *lpTargetHandle = pelmora::platform::InsertHandle(std::move(object));
    return TRUE;
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
