#include "packer/system_dlls.h"

#include <algorithm>
#include <iterator>

namespace {

// DLLs in the system directory of 64-bit Windows that applications import,
// in lower case and sorted. Where they come from: the KnownDLLs of Windows 7
// to 11 (the values under HKLM\SYSTEM\CurrentControlSet\Control\Session
// Manager\KnownDLLs, which the loader always takes from the system
// directory), and the DLLs that the "Requirements" of the Windows API
// reference names for the functions of Win32, COM, networking, security,
// graphics (GDI, Direct3D, DirectWrite, OpenGL), audio and media. A few came
// with a later Windows (shcore.dll 8.1, xinput1_4.dll 8, win32u.dll 10) or
// with an update (ucrtbase.dll, in Windows since 10): an application for
// older systems tests there. msvcrt.dll is the system's own C runtime, a
// KnownDLL; the compilers' runtimes are not listed.
const char *const kSystemDlls[] = {
    "advapi32.dll",   "authz.dll",       "avrt.dll",        "bcrypt.dll",        "cabinet.dll",    "cfgmgr32.dll",
    "clbcatq.dll",    "combase.dll",     "comctl32.dll",    "comdlg32.dll",      "coml2.dll",      "credui.dll",
    "crypt32.dll",    "cryptbase.dll",   "cryptnet.dll",    "cryptui.dll",       "d2d1.dll",       "d3d10.dll",
    "d3d10_1.dll",    "d3d11.dll",       "d3d12.dll",       "d3d9.dll",          "d3dcompiler_47.dll", "dbgeng.dll",
    "dbghelp.dll",    "dcomp.dll",       "difxapi.dll",     "dinput8.dll",       "dnsapi.dll",     "dsound.dll",
    "dwmapi.dll",     "dwrite.dll",      "dxgi.dll",        "dxva2.dll",         "esent.dll",      "fltlib.dll",
    "fwpuclnt.dll",   "gdi32.dll",       "gdi32full.dll",   "gdiplus.dll",       "glu32.dll",      "hid.dll",
    "httpapi.dll",    "imagehlp.dll",    "imm32.dll",       "iphlpapi.dll",      "kernel32.dll",   "kernelbase.dll",
    "ksuser.dll",     "ktmw32.dll",      "mf.dll",          "mfplat.dll",        "mfreadwrite.dll", "mlang.dll",
    "mpr.dll",        "msacm32.dll",     "mscms.dll",       "msctf.dll",         "msi.dll",        "msimg32.dll",
    "msvcrt.dll",     "mswsock.dll",     "msxml6.dll",      "ncrypt.dll",        "netapi32.dll",   "newdev.dll",
    "normaliz.dll",   "nsi.dll",         "ntdll.dll",       "ntdsapi.dll",       "odbc32.dll",     "ole32.dll",
    "oleacc.dll",     "oleaut32.dll",    "opengl32.dll",    "pdh.dll",           "powrprof.dll",   "propsys.dll",
    "psapi.dll",      "rasapi32.dll",    "rpcrt4.dll",      "rstrtmgr.dll",      "sechost.dll",    "secur32.dll",
    "sensapi.dll",    "setupapi.dll",    "shcore.dll",      "shell32.dll",       "shfolder.dll",   "shlwapi.dll",
    "slc.dll",        "sspicli.dll",     "tdh.dll",         "ucrtbase.dll",      "urlmon.dll",     "user32.dll",
    "userenv.dll",    "usp10.dll",       "uxtheme.dll",     "version.dll",       "virtdisk.dll",   "webservices.dll",
    "wer.dll",        "wevtapi.dll",     "win32u.dll",      "windowscodecs.dll", "winhttp.dll",    "wininet.dll",
    "winmm.dll",      "winscard.dll",    "winspool.drv",    "wintrust.dll",      "winusb.dll",     "wlanapi.dll",
    "wldap32.dll",    "ws2_32.dll",      "wsock32.dll",     "wtsapi32.dll",      "xinput1_4.dll",  "xinput9_1_0.dll",
    "xmllite.dll",
};

// API sets: names the loader maps to whichever system DLL implements them.
const char *const kApiSetPrefixes[] = {"api-ms-win-", "ext-ms-win-"};

}  // namespace

bool isSystemDll(const std::string &name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    for (const char *prefix : kApiSetPrefixes) {
        if (lower.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return std::binary_search(std::begin(kSystemDlls), std::end(kSystemDlls), lower,
                              [](const std::string &a, const std::string &b) { return a < b; });
}
