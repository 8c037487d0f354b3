#include "UpDateMng.h"

#include <filesystem>
#include <fstream>
#include <string_view>

#include "AppHelpers.h"
#include "CommandExchange.h"

namespace nimbra {

namespace {

// One line without its LF and the CR directly before it. False at the end of the data.
bool NextLine(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool Contains(const std::string& line, std::string_view marker) { return line.find(marker) != std::string::npos; }

// A folder of that name opens as a stream on Linux but is no file to read.
bool OpenFile(const std::string& path, std::ifstream& in) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    in.open(path, std::ios::binary);
    return static_cast<bool>(in);
}

// The value starts at the fifth character, whatever the first four are.
std::string ValueOf(const std::string& line) {
    return line.size() <= 4 ? std::string() : Latin1ToUtf8(std::string_view(line).substr(4));
}

}  // namespace

std::string UpDateMngPath() { return GetModuleFolder() + "/" + kUpDateMngFileName; }

std::string ReadUpDateMngTitleFrom(std::istream& in) {
    std::string title, line;
    while (NextLine(in, line)) {
        if (Contains(line, "#T#")) title = ValueOf(line);
    }
    return LoadMessage(500) + "(" + title + ")";
}

void ReadUpDateMngFrom(std::istream& in, DialogData& dlg) {
    std::string line;
    while (NextLine(in, line)) {
        if (Contains(line, "#F#")) dlg.m_fileFirmVer = ValueOf(line);
        else if (Contains(line, "#N#")) dlg.m_fileNetVerN = ValueOf(line);
        else if (Contains(line, "#P#")) dlg.m_fileNetVerP = ValueOf(line);
        else if (Contains(line, "#W#")) dlg.m_fileWebFirm = ValueOf(line);
    }
}

std::string ReadUpDateMngTitle() { return ReadUpDateMngTitle(UpDateMngPath()); }

std::string ReadUpDateMngTitle(const std::string& path) {
    std::ifstream in;
    if (!OpenFile(path, in)) return {};
    return ReadUpDateMngTitleFrom(in);
}

int ReadUpDateMng(DialogData& dlg) { return ReadUpDateMng(dlg, UpDateMngPath()); }

int ReadUpDateMng(DialogData& dlg, const std::string& path) {
    std::ifstream in;
    if (!OpenFile(path, in)) return -1;
    ReadUpDateMngFrom(in, dlg);
    return 0;
}

int DecideUpdateType(DialogData& dlg, std::uint32_t serial) {
    int t = 0;
    if (dlg.m_fileFirmVer != "OFF" && dlg.m_devFirmVer != dlg.m_fileFirmVer) t += kUpdateMainFirm;
    if ((serial & 0xFFFF) < 0x1000) {
        if (dlg.m_fileNetVerN != "OFF" && dlg.m_devNetVer != dlg.m_fileNetVerN) {
            t += kUpdateNetFirm;
            dlg.m_netImageNo = 809;
        }
    } else if (dlg.m_fileNetVerP != "OFF" && dlg.m_devNetVer != dlg.m_fileNetVerP) {
        t += kUpdateNetFirm;
        const std::uint32_t field = (serial >> 17) & 0x7F;
        dlg.m_netImageNo = (field == 0x39 || field == 0x3B) ? 810 : 809;
    }
    if (dlg.m_fileWebFirm != "OFF") t += kUpdateWeb;
    return t;
}

}  // namespace nimbra
