#include "module.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "errors.h"
#include "file.h"

namespace {

std::atomic<UINT> errorMode{0};
// The loader changes its list of objects under a lock of its own that we cannot take, so the
// walks of that list here and every load and unload made through this layer take this one.
// Recursive: a library's constructor may load another library.
std::recursive_mutex loaderLock;
thread_local std::string loadErrorText;

bool ExecutablePath(std::string &path)
{
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer)
        return false;
    path.assign(buffer, static_cast<size_t>(n));
    return true;
}

// With glibc a dlopen handle is the object's link_map. A handle is accepted only if it is one
// of the loaded objects, so a stale or foreign value fails instead of being dereferenced.
link_map *LoadedObject(HMODULE handle)
{
    if (!handle)
        return nullptr;
    void *self = dlopen(nullptr, RTLD_LAZY);
    link_map *map = nullptr;
    if (!self || dlinfo(self, RTLD_DI_LINKMAP, &map) != 0)
        return nullptr;
    while (map && map->l_prev)
        map = map->l_prev;
    for (; map; map = map->l_next)
        if (static_cast<void *>(map) == handle)
            return map;
    return nullptr;
}

bool IsMainProgram(const link_map *map) { return !map->l_name || !*map->l_name; }

DWORD CopyPath(const std::string &path, LPSTR buffer, DWORD size)
{
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buffer, path.data(), path.size());
    buffer[path.size()] = '\0';
    return static_cast<DWORD>(path.size());
}

void CopyBounded(char *out, size_t size, const char *begin, const char *end)
{
    if (!out)
        return;
    size_t n = static_cast<size_t>(end - begin);
    if (n > size - 1)
        n = size - 1;
    memcpy(out, begin, n);
    out[n] = '\0';
}

// Opens an object that is already loaded, by the name the loader knows it by.
HMODULE OpenLoaded(const link_map *map, bool addReference)
{
    void *handle = IsMainProgram(map) ? dlopen(nullptr, RTLD_LAZY)
                                      : dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD);
    if (handle && !addReference && !IsMainProgram(map))
        dlclose(handle);
    return handle;
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    std::lock_guard<std::recursive_mutex> lock(loaderLock);
    std::string path;
    if (!hModule) {
        if (!ExecutablePath(path)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
    } else {
        link_map *map = LoadedObject(hModule);
        if (!map) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        if (IsMainProgram(map)) {
            if (!ExecutablePath(path)) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return 0;
            }
        } else {
            path = map->l_name;
        }
    }
    return CopyPath(path, lpFilename, nSize);
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName)
{
    HMODULE module = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, lpModuleName, &module)
               ? module
               : nullptr;
}

BOOL GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE *phModule)
{
    std::lock_guard<std::recursive_mutex> lock(loaderLock);
    if (!phModule) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    const bool addReference = !(dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
    HMODULE module = nullptr;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info;
        link_map *map = nullptr;
        if (lpModuleName &&
            dladdr1(lpModuleName, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) && map)
            module = OpenLoaded(map, addReference);
    } else if (!lpModuleName) {
        module = dlopen(nullptr, RTLD_LAZY);
    } else {
        const std::string name = pelmora::platform::NativePath(lpModuleName);
        module = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (module && !addReference)
            dlclose(module);
    }
    if (!module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    *phModule = module;
    return TRUE;
}

HMODULE LoadLibraryA(LPCSTR lpLibFileName)
{
    if (!lpLibFileName || !*lpLibFileName) {
        loadErrorText = "empty library name";
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::string name = pelmora::platform::NativePath(lpLibFileName);
    std::lock_guard<std::recursive_mutex> lock(loaderLock);
    void *handle = nullptr;
    if (name.find('/') == std::string::npos) {
        // Windows looks in the program's own folder first.
        std::string exe;
        if (ExecutablePath(exe)) {
            std::string beside = exe.substr(0, exe.rfind('/') + 1) + name;
            struct stat st;
            if (stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                handle = dlopen(beside.c_str(), RTLD_NOW);
        }
    } else if (name[0] != '/') {
        // Absolute, so that the module's file name stays right if the directory changes.
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd))
            name = std::string(cwd) + "/" + name;
    }
    if (!handle)
        handle = dlopen(name.c_str(), RTLD_NOW);
    if (!handle) {
        const char *why = dlerror();
        loadErrorText = why ? why : "cannot load library";
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    loadErrorText.clear();
    return handle;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    std::lock_guard<std::recursive_mutex> lock(loaderLock);
    void *module = hModule ? hModule : dlopen(nullptr, RTLD_LAZY);
    if (!LoadedObject(module)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Values below 0x10000 are ordinals on Windows; Linux libraries export names only.
    void *symbol =
        reinterpret_cast<uintptr_t>(lpProcName) < 0x10000 ? nullptr : dlsym(module, lpProcName);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC proc;
    static_assert(sizeof proc == sizeof symbol, "function and data pointers differ in size");
    memcpy(&proc, &symbol, sizeof proc);
    return proc;
}

BOOL FreeLibrary(HMODULE hLibModule)
{
    std::lock_guard<std::recursive_mutex> lock(loaderLock);
    if (!LoadedObject(hLibModule)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    dlclose(hLibModule);
    return TRUE;
}

UINT SetErrorMode(UINT uMode) { return errorMode.exchange(uMode); }

UINT GetErrorMode() { return errorMode.load(); }

void _splitpath(const char *path, char *drive, char *dir, char *fname, char *ext)
{
    if (drive)
        drive[0] = '\0';
    if (!path)
        path = "";
    const char *end = path + strlen(path);
    const char *name = path;
    for (const char *p = path; p < end; ++p)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    const char *dot = end;
    for (const char *p = end; p > name; --p)
        if (p[-1] == '.') {
            dot = p - 1;
            break;
        }
    CopyBounded(dir, _MAX_DIR, path, name);
    CopyBounded(fname, _MAX_FNAME, name, dot);
    CopyBounded(ext, _MAX_EXT, dot, end);
}

void _makepath(char *path, const char *drive, const char *dir, const char *fname, const char *ext)
{
    if (!path)
        return;
    std::string result;
    if (drive && *drive)
        result += drive;
    if (dir && *dir) {
        result += dir;
        if (result.back() != '/' && result.back() != '\\')
            result += '/';
    }
    if (fname)
        result += fname;
    if (ext && *ext) {
        if (*ext != '.')
            result += '.';
        result += ext;
    }
    CopyBounded(path, _MAX_PATH, result.data(), result.data() + result.size());
}

namespace pelmora::platform {
const char *LoadLibraryErrorText() { return loadErrorText.c_str(); }
}  // namespace pelmora::platform
