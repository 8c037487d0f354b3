#include "Simulator.h"

#include <cerrno>
#include <filesystem>
#include <set>

#include "Logger.h"

namespace nimbra::sim {

struct Simulator::Impl {
    SimConfig config;
    std::vector<std::unique_ptr<Logger>> loggers;
    bool started = false;

    Logger* At(int i) const {
        if (i < 0 || static_cast<std::size_t>(i) >= loggers.size()) return nullptr;
        return loggers[static_cast<std::size_t>(i)].get();
    }
};

Simulator::Simulator(SimConfig config) : impl_(std::make_unique<Impl>()) {
    impl_->config = std::move(config);
}

Simulator::~Simulator() { Stop(); }

int Simulator::Start() {
    Impl& m = *impl_;
    if (m.started) return 0;
    if (m.config.busDir.empty() || m.config.loggers.empty()) return -EINVAL;
    std::set<int> coms;
    std::set<std::pair<int, std::uint32_t>> links;
    for (const LoggerConfig& l : m.config.loggers) {
        if (l.com < 1 || l.com > 255 || !coms.insert(l.com).second) return -EINVAL;
        if (!links.insert({l.productId, l.serial}).second) return -EINVAL;
    }
    std::error_code ec;
    std::filesystem::create_directories(m.config.busDir, ec);
    if (ec) return -ec.value();
    const auto origin = Logger::Clock::now();
    for (std::size_t i = 0; i < m.config.loggers.size(); ++i) {
        m.loggers.push_back(std::make_unique<Logger>(static_cast<int>(i), m.config.loggers[i], m.config.timing,
                                                     m.config.busDir, m.config.checkLineSpeed, origin));
        int rc = m.loggers.back()->Start();
        if (rc != 0) {
            m.loggers.clear();
            return rc;
        }
    }
    m.started = true;
    return 0;
}

void Simulator::Stop() {
    Impl& m = *impl_;
    if (!m.started) return;
    for (auto& l : m.loggers) l->Stop();
    if (!m.config.evidenceDir.empty()) WriteEvidence(m.config.evidenceDir);
    m.started = false;
}

bool Simulator::AddFault(int logger, const std::string& faultText) {
    Logger* l = impl_->At(logger);
    return l && l->AddFault(faultText);
}

void Simulator::ClearFaults(int logger) {
    if (Logger* l = impl_->At(logger)) l->ClearFaults();
}

std::vector<std::uint8_t> Simulator::Flash(int logger) const {
    Logger* l = impl_->At(logger);
    return l ? l->Flash() : std::vector<std::uint8_t>{};
}

std::vector<std::uint8_t> Simulator::NetBytes(int logger, std::uint32_t address, std::size_t length) const {
    Logger* l = impl_->At(logger);
    return l ? l->NetBytes(address, length) : std::vector<std::uint8_t>(length, 0xFF);
}

std::vector<std::pair<std::uint32_t, std::size_t>> Simulator::NetRecords(int logger) const {
    Logger* l = impl_->At(logger);
    return l ? l->NetRecords() : std::vector<std::pair<std::uint32_t, std::size_t>>{};
}

std::string Simulator::LastNetEraseCommand(int logger) const {
    Logger* l = impl_->At(logger);
    return l ? l->LastNetEraseCommand() : std::string{};
}

std::vector<std::string> Simulator::Transcript(int logger) const {
    Logger* l = impl_->At(logger);
    return l ? l->Transcript() : std::vector<std::string>{};
}

bool Simulator::WriteEvidence(const std::string& dir) const {
    bool ok = true;
    for (std::size_t i = 0; i < impl_->loggers.size(); ++i) {
        // The first logger's files lie in `dir` itself, the others' in logger<i>/.
        const std::string d = i == 0 ? dir : dir + "/logger" + std::to_string(i);
        ok &= impl_->loggers[i]->WriteEvidence(d);
    }
    return ok && !impl_->loggers.empty();
}

Stats Simulator::GetStats(int logger) const {
    Logger* l = impl_->At(logger);
    return l ? l->GetStats() : Stats{};
}

void Simulator::ResetStats(int logger) {
    if (Logger* l = impl_->At(logger)) l->ResetStats();
}

Mode Simulator::CurrentMode(int logger) const {
    Logger* l = impl_->At(logger);
    return l ? l->CurrentMode() : Mode::Unplugged;
}

int Simulator::BootCount(int logger) const {
    Logger* l = impl_->At(logger);
    return l ? l->BootCount() : 0;
}

void Simulator::Unplug(int logger) {
    if (Logger* l = impl_->At(logger)) l->Unplug();
}

void Simulator::Plug(int logger) {
    if (Logger* l = impl_->At(logger)) l->Plug();
}

void Simulator::SetAc(int logger, const std::string& ac) {
    if (Logger* l = impl_->At(logger)) l->SetAc(ac);
}

void Simulator::SetVersions(int logger, const std::string& firmVer, const std::string& netVer) {
    if (Logger* l = impl_->At(logger)) l->SetVersions(firmVer, netVer);
}

}  // namespace nimbra::sim
