// Kernel-object handles: a HANDLE names a reference-counted object in one process-wide table.
// Internal to the platform layer; code outside platform/ sees only HANDLE.
#pragma once

#include <memory>
#include <string>

#include "types.h"

namespace pelmora::platform {

// Base of every object a HANDLE (or SOCKET) can name. Objects are kept alive by the table
// entry of each open handle and by every caller that is still using them (for example a
// thread blocked in a wait), so closing a handle never frees an object under a user.
class Object : public std::enable_shared_from_this<Object> {
public:
    virtual ~Object() = default;
};

using ObjectPtr = std::shared_ptr<Object>;

// Enters an object in the table and returns a new handle value (multiples of 4, never reused).
HANDLE InsertHandle(ObjectPtr object);

// The object a live handle names, or null (last error ERROR_INVALID_HANDLE) for any other value.
ObjectPtr LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Removes a handle from the table and returns the object it named (null if none).
ObjectPtr RemoveHandle(HANDLE handle);

// Named objects share one process-wide namespace. Returns the live object of that name, or
// stores and returns the one `make` builds. `existed` tells which happened.
template <class Make>
ObjectPtr CreateOrOpenNamed(const std::string &name, Make make, bool &existed);

// Non-template core of CreateOrOpenNamed: returns the live object of that name or null, and
// when null, registers `created` under the name (if `created` is not null).
ObjectPtr FindOrRegisterNamed(const std::string &name, const ObjectPtr &created);
ObjectPtr FindNamed(const std::string &name);

template <class Make>
ObjectPtr CreateOrOpenNamed(const std::string &name, Make make, bool &existed)
{
    for (;;) {
        if (ObjectPtr found = FindNamed(name)) {
            existed = true;
            return found;
        }
        ObjectPtr created = make();
        ObjectPtr raced = FindOrRegisterNamed(name, created);
        if (!raced) {
            existed = false;
            return created;
        }
        existed = true;
        return raced;
    }
}

}  // namespace pelmora::platform

BOOL CloseHandle(HANDLE hObject);
BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     HANDLE *lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle,
                     DWORD dwOptions);
HANDLE GetCurrentProcess();
#define DUPLICATE_SAME_ACCESS 0x00000002
