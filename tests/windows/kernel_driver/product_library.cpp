#include "product_library.h"

#include <mutex>

namespace mv620::kerneltest {

namespace {

std::mutex callsMutex;
std::vector<CreateFileCall> calls; // guarded by callsMutex

HANDLE WINAPI recordCreateFileA(LPCSTR path, DWORD desiredAccess, DWORD shareMode,
                                LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                                DWORD flagsAndAttributes, HANDLE templateFile) {
    const HANDLE handle = CreateFileA(path, desiredAccess, shareMode, security, creationDisposition,
                                      flagsAndAttributes, templateFile);
    CreateFileCall call;
    call.path = path != nullptr ? path : "";
    call.desiredAccess = desiredAccess;
    call.shareMode = shareMode;
    call.securityGiven = security != nullptr;
    if (security != nullptr) {
        call.securityLength = security->nLength;
        call.inheritHandle = security->bInheritHandle;
    }
    call.creationDisposition = creationDisposition;
    call.flagsAndAttributes = flagsAndAttributes;
    call.templateGiven = templateFile != nullptr;
    call.opened = handle != INVALID_HANDLE_VALUE;
    {
        const std::lock_guard<std::mutex> lock(callsMutex);
        calls.push_back(call);
    }
    return handle;
}

template <typename F> void resolve(HMODULE module, const char* name, F& function, bool& complete) {
    const FARPROC address = GetProcAddress(module, name);
    // Through an object pointer: the exports' types are known only here.
    function = reinterpret_cast<F>(reinterpret_cast<void*>(address));
    complete = complete && address != nullptr;
}

// Points every import slot of `module` that holds `target` at `replacement`. Returns whether one
// was found.
bool redirectImport(HMODULE module, const void* target, const void* replacement) {
    auto* base = reinterpret_cast<std::uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return false;
    }
    bool found = false;
    for (const auto* import =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
             slot->u1.Function != 0; ++slot) {
            if (reinterpret_cast<const void*>(slot->u1.Function) != target) {
                continue;
            }
            DWORD protection = 0;
            if (VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE,
                               &protection) == FALSE) {
                return false;
            }
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), protection, &protection);
            found = true;
        }
    }
    return found;
}

ProductLibrary load() {
    ProductLibrary library;
    library.module = LoadLibraryA("MV620ACQm.dll");
    if (library.module == nullptr) {
        return library;
    }
    HMODULE m = library.module;
    bool complete = true;
    resolve(m, "Start_Acquisition", library.Start_Acquisition, complete);
    resolve(m, "Stop_Acquisition", library.Stop_Acquisition, complete);
    resolve(m, "Get_Blocks_Transferred", library.Get_Blocks_Transferred, complete);
    resolve(m, "Get_DataPoint", library.Get_DataPoint, complete);
    resolve(m, "Set_Sample_Rate", library.Set_Sample_Rate, complete);
    resolve(m, "Get_Sample_Rate", library.Get_Sample_Rate, complete);
    resolve(m, "Do_Download", library.Do_Download, complete);
    resolve(m, "Do_Autozero", library.Do_Autozero, complete);
    resolve(m, "Do_Even_Cal_On", library.Do_Even_Cal_On, complete);
    resolve(m, "Do_Even_Cal_Off", library.Do_Even_Cal_Off, complete);
    resolve(m, "Do_Odd_Cal_On", library.Do_Odd_Cal_On, complete);
    resolve(m, "Do_Odd_Cal_Off", library.Do_Odd_Cal_Off, complete);
    resolve(m, "Do_Output_On", library.Do_Output_On, complete);
    resolve(m, "Do_Output_Off", library.Do_Output_Off, complete);
    resolve(m, "Get_Digital_Input", library.Get_Digital_Input, complete);
    resolve(m, "Do_AZ_On", library.Do_AZ_On, complete);
    resolve(m, "Do_AZ_Off", library.Do_AZ_Off, complete);
    resolve(m, "LV_Start_Acquisition", library.LV_Start_Acquisition, complete);
    resolve(m, "LV_Download", library.LV_Download, complete);
    resolve(m, "Get_Data_Samples", library.Get_Data_Samples, complete);
    resolve(m, "Get_Trigger", library.Get_Trigger, complete);
    resolve(m, "Get_Current_DataPoint", library.Get_Current_DataPoint, complete);
    resolve(m, "Get_MV620ACQ_Status", library.Get_MV620ACQ_Status, complete);
    resolve(m, "Get_Sample_Modulus", library.Get_Sample_Modulus, complete);
    resolve(m, "Set_Sample_Boundary", library.Set_Sample_Boundary, complete);
    library.complete = complete;

    const FARPROC system = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateFileA");
    library.recordingOpens = redirectImport(m, reinterpret_cast<const void*>(system),
                                            reinterpret_cast<const void*>(&recordCreateFileA));
    return library;
}

} // namespace

const ProductLibrary& productLibrary() {
    static const ProductLibrary library = load();
    return library;
}

std::vector<CreateFileCall> createFileCalls() {
    const std::lock_guard<std::mutex> lock(callsMutex);
    return calls;
}

void clearCreateFileCalls() {
    const std::lock_guard<std::mutex> lock(callsMutex);
    calls.clear();
}

} // namespace mv620::kerneltest
