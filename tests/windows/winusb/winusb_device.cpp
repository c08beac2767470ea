// Registers the instrument with the test prefix's SetupAPI as Windows does when a WinUSB driver
// is bound to it, so that the product's WinUSB backend finds it (winusb_device.sh makes the
// interface paths openable and puts the test winusb.dll in place):
//
//   mv620_winusb_device register-inf NAME            USB\VID_0547&PID_1002\NAME, with an interface
//                                                    of the project's GUID, as mv620.inf makes it
//   mv620_winusb_device register-generic NAME GUID   USB\VID_0547&PID_1002\NAME, with GUID in its
//                                                    device key's DeviceInterfaceGUIDs and an
//                                                    interface of it, as a generic installer does
//   mv620_winusb_device remove                       every device USB\VID_0547&PID_1002\MV620*
//
// register-* prints the interface's path on standard output. Each interface is marked linked
// (the Linked value of its Control key), which is what makes DIGCF_PRESENT list it.
#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// {A6920BDA-1E12-4029-A7CC-D1E8ACF8D6B5}: the project's device interface GUID (mv620.inf).
constexpr GUID kInterfaceGuid = {
    0xA6920BDA, 0x1E12, 0x4029, {0xA7, 0xCC, 0xD1, 0xE8, 0xAC, 0xF8, 0xD6, 0xB5}};
// The USB device setup class.
constexpr GUID kUsbClass = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr wchar_t kHardwareId[] = L"USB\\VID_0547&PID_1002";
constexpr wchar_t kOurDevices[] = L"USB\\VID_0547&PID_1002\\MV620";
constexpr wchar_t kDeviceClasses[] = L"System\\CurrentControlSet\\Control\\DeviceClasses";

int fail(const char* what) {
    std::fprintf(stderr, "mv620_winusb_device: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

std::wstring guidText(const GUID& guid) {
    wchar_t text[40];
    std::swprintf(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

bool parseGuid(const char* text, GUID& guid) {
    unsigned long data1 = 0;
    unsigned data2 = 0;
    unsigned data3 = 0;
    unsigned b[8] = {};
    if (std::sscanf(text, "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &data1, &data2, &data3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11) {
        return false;
    }
    guid.Data1 = data1;
    guid.Data2 = static_cast<unsigned short>(data2);
    guid.Data3 = static_cast<unsigned short>(data3);
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = static_cast<unsigned char>(b[i]);
    }
    return true;
}

bool startsWithIgnoringCase(const std::wstring& text, const wchar_t* prefix) {
    return _wcsnicmp(text.c_str(), prefix, std::wcslen(prefix)) == 0;
}

// Sets Linked = 1 in the Control key of every interface of `guid` whose key names `name`.
bool markLinked(const GUID& guid, const std::wstring& name) {
    HKEY classKey = nullptr;
    const std::wstring path = std::wstring(kDeviceClasses) + L"\\" + guidText(guid);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &classKey) != ERROR_SUCCESS) {
        return false;
    }
    bool marked = false;
    wchar_t sub[512];
    for (DWORD i = 0;; ++i) {
        DWORD length = 512;
        if (RegEnumKeyExW(classKey, i, sub, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        std::wstring upper(sub);
        for (wchar_t& c : upper) {
            c = static_cast<wchar_t>(towupper(c));
        }
        if (upper.find(name) == std::wstring::npos) {
            continue;
        }
        HKEY control = nullptr;
        const std::wstring controlPath = std::wstring(sub) + L"\\#\\Control";
        if (RegCreateKeyExW(classKey, controlPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &control, nullptr) == ERROR_SUCCESS) {
            const DWORD linked = 1;
            marked = RegSetValueExW(control, L"Linked", 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&linked),
                                    sizeof(linked)) == ERROR_SUCCESS;
            RegCloseKey(control);
        }
    }
    RegCloseKey(classKey);
    return marked;
}

int registerDevice(const wchar_t* name, const GUID& guid, bool generic) {
    const HDEVINFO set = SetupDiCreateDeviceInfoList(&kUsbClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return fail("SetupDiCreateDeviceInfoList");
    }
    const std::wstring instance = std::wstring(kHardwareId) + L"\\" + name;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (SetupDiCreateDeviceInfoW(set, instance.c_str(), &kUsbClass, nullptr, nullptr, 0, &device) ==
        FALSE) {
        return fail("SetupDiCreateDeviceInfoW");
    }
    // The hardware ID the INF matches, a double-zero-terminated list.
    std::wstring hardwareIds = std::wstring(kHardwareId) + L'\0' + L'\0';
    SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                      reinterpret_cast<const BYTE*>(hardwareIds.data()),
                                      static_cast<DWORD>(hardwareIds.size() * sizeof(wchar_t)));
    if (SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) == FALSE) {
        return fail("SetupDiRegisterDeviceInfo");
    }
    if (generic) {
        const HKEY key =
            SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        if (key == INVALID_HANDLE_VALUE) {
            return fail("SetupDiCreateDevRegKeyW");
        }
        std::wstring guids = guidText(guid) + L'\0' + L'\0';
        const LONG written = RegSetValueExW(key, L"DeviceInterfaceGUIDs", 0, REG_MULTI_SZ,
                                            reinterpret_cast<const BYTE*>(guids.data()),
                                            static_cast<DWORD>(guids.size() * sizeof(wchar_t)));
        RegCloseKey(key);
        if (written != ERROR_SUCCESS) {
            return fail("writing DeviceInterfaceGUIDs");
        }
    }
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    if (SetupDiCreateDeviceInterfaceW(set, &device, &guid, nullptr, 0, &interfaceData) == FALSE) {
        return fail("SetupDiCreateDeviceInterfaceW");
    }
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &size, nullptr);
    std::vector<DWORD> storage(size / sizeof(DWORD) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, size, nullptr, nullptr) ==
        FALSE) {
        return fail("SetupDiGetDeviceInterfaceDetailW");
    }
    std::wstring upperName(name);
    for (wchar_t& c : upperName) {
        c = static_cast<wchar_t>(towupper(c));
    }
    if (!markLinked(guid, upperName)) {
        return fail("marking the interface linked");
    }
    std::printf("%ls\n", detail->DevicePath);
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

// Deletes a key and everything below it.
void deleteTree(HKEY root, const std::wstring& path) { RegDeleteTreeW(root, path.c_str()); }

int removeDevices() {
    const HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device) != FALSE; ++i) {
            wchar_t instance[512];
            if (SetupDiGetDeviceInstanceIdW(set, &device, instance, 512, nullptr) != FALSE &&
                startsWithIgnoringCase(instance, kOurDevices)) {
                SetupDiRemoveDevice(set, &device);
            }
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    // The interfaces' keys of every GUID that names our devices.
    HKEY classes = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceClasses, 0, KEY_READ, &classes) == ERROR_SUCCESS) {
        std::vector<std::wstring> doomed;
        wchar_t guid[128];
        for (DWORD i = 0;; ++i) {
            DWORD length = 128;
            if (RegEnumKeyExW(classes, i, guid, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            HKEY guidKey = nullptr;
            if (RegOpenKeyExW(classes, guid, 0, KEY_READ, &guidKey) != ERROR_SUCCESS) {
                continue;
            }
            wchar_t sub[512];
            for (DWORD j = 0;; ++j) {
                DWORD subLength = 512;
                if (RegEnumKeyExW(guidKey, j, sub, &subLength, nullptr, nullptr, nullptr,
                                  nullptr) != ERROR_SUCCESS) {
                    break;
                }
                std::wstring upper(sub);
                for (wchar_t& c : upper) {
                    c = static_cast<wchar_t>(towupper(c));
                }
                if (upper.find(L"VID_0547&PID_1002#MV620") != std::wstring::npos) {
                    doomed.push_back(std::wstring(guid) + L"\\" + sub);
                }
            }
            RegCloseKey(guidKey);
        }
        for (const std::wstring& path : doomed) {
            deleteTree(classes, path);
        }
        RegCloseKey(classes);
    }
    deleteTree(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Enum\\USB\\VID_0547&PID_1002");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "remove" && argc == 2) {
        return removeDevices();
    }
    if (command == "register-inf" && argc == 3) {
        const std::wstring name(argv[2], argv[2] + std::strlen(argv[2]));
        return registerDevice(name.c_str(), kInterfaceGuid, false);
    }
    GUID guid{};
    if (command == "register-generic" && argc == 4 && parseGuid(argv[3], guid)) {
        const std::wstring name(argv[2], argv[2] + std::strlen(argv[2]));
        return registerDevice(name.c_str(), guid, true);
    }
    std::fprintf(stderr, "usage: mv620_winusb_device register-inf NAME | register-generic NAME "
                         "{GUID} | remove\n");
    return 2;
}
