#include "app/core/Runtime.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>

#include <fmt/format.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "alerts/WebhookFormat.h"
#include "app/core/SupervisionSettings.h"
#include "config/AppDirectories.h"
#include "config/SettingsFile.h"
#include "log/AppLogger.h"
#include "platform/ProcessControl.h"
#include "platform/StopRequest.h"
#include "platform/TextEncoding.h"
#include "supervision/SystemClock.h"

namespace {

Settings loadLogged(const std::string& path, std::FILE* complaints) {
    auto& log = AppLogger::Instance().get();
    std::vector<std::string> warnings;
    Settings settings;
    std::string error;
    if (!ReadSettings(path, settings, warnings, error)) {
        // Alerts would go nowhere without a word: said where it is seen.
        log.error("{}; the defaults are used", error);
        if (complaints) {
            std::fprintf(complaints, "%s; the defaults are used\n", error.c_str());
            std::fflush(complaints);
        }
    }
    for (const std::string& warning : warnings) log.warn("{}", warning);
    return settings;
}

}  // namespace

Runtime::Runtime(std::function<void()> wake, std::FILE* complaints)
    : wake_(std::move(wake)),
      complaints_(complaints),
      settingsPath_(AppDirectories::settingsPath()),
      settings_(loadLogged(settingsPath_, complaints)),
      mailSink_(delivery_, settings_.mail),
      mailAlerts_(mailSink_),
      list_(AppDirectories::serverListPath()),
      store_(list_, complaints),
      stateFile_(AppDirectories::statePath()),
      supervisor_(SystemClock::Instance(), platform::processControl(), SupervisionOptionsFrom(settings_.general)),
      host_(supervisor_, wake_, mailSink_.counters()),
      rotator_(host_.board()) {
    list_.setBackupsKept(settings_.general.listBackups);
    supervisor_.addAlertSink(&mailAlerts_);
    supervisor_.addAlertSink(&channels_);
    configureChannels();
    supervisor_.setEntryStore(&store_);
    supervisor_.setStateStore(&stateFile_);
    ControlServer::Actions actions;
    actions.reload = [this](std::string& text, bool dryRun) { return reload("ctl", text, dryRun); };
    actions.shutdown = [this] { endHow_ = "ctl"; };
    actions.backups = [this](std::string& text) {
        text = backupsText();
        return true;
    };
    actions.restore = [this](int number, std::string& text) { return restoreList(number, "ctl", text); };
    actions.editList = [this](const std::string& verb, const std::string& name, const std::string& payload, bool json,
                              std::string& text) { return editList(verb, name, payload, json, text); };
    host_.setControlActions(std::move(actions));
}

Runtime::~Runtime() {
    host_.stopping();
    supervisor_.setStateStore(nullptr);
    supervisor_.setEntryStore(nullptr);
    supervisor_.removeAlertSink(&channels_);
    supervisor_.removeAlertSink(&mailAlerts_);
}

ListResult Runtime::readList() {
    listRead_ = true;
    return store_.refresh();
}

void Runtime::start() {
    if (!listRead_) readList();
    logMailState(nullptr);
    // The exit watcher's thread only asks the host's thread to run the
    // supervisor; every check still runs there.
    supervisor_.watchExits(wake_);
    host_.start(settings_.general.metricsListen);
    raiseOwn(AlertKind::ProcwardStarted, "Procward started");
    supervisor_.load(list_.entries());
    startRotation();
}

void Runtime::startRotation() {
    const GeneralSettingsData& general = settings_.general;
    rotator_.start(supervisor_.options().checkInterval, static_cast<std::int64_t>(general.serverLogMaxMb) * 1024 * 1024,
                   general.serverLogBackups);
}

void Runtime::raiseOwn(AlertKind kind, const std::string& message) {
    AlertEvent event;
    event.kind = kind;
    event.name = "Procward";
    event.time = SystemClock::Instance().secondsSince1970();
    event.at = SystemClock::Instance().now();
    event.message = message;
    event.subject = "26300 告警邮件";
    mailAlerts_.alert(event);
    channels_.alert(event);
}

void Runtime::configureChannels() {
    channels_.configure(settings_.webhooks);
    mailSink_.sharedCounters().setChannels(channels_.counters());
    auto& log = AppLogger::Instance().get();
    for (const auto& channel : channels_.channels()) {
        const WebhookSettingsData& hook = channel->settings();
        log.info("{}: {} to {}", channel->logName(), WebhookKindName(hook.kind), WebhookFormat::maskedUrl(hook));
    }
}

void Runtime::sendDigests() {
    // The webhook channels time their own digests on their threads.
    mailSink_.sendDigest(SystemClock::Instance().secondsSince1970());
}

void Runtime::runDue() {
    if (platform::StopRequest::takeReload()) {
        std::string text;
        reload("SIGHUP", text);
    }
    host_.runQueued();
    supervisor_.runDue();
    sendDigests();
    host_.watchdogIfDue(SystemClock::Instance().now());
}

Clock::TimePoint Runtime::nextDue() const {
    // The service manager's watchdog counts as due too: a loop that slept
    // past it would be taken for a hung one.
    Clock::TimePoint next = std::min(supervisor_.nextDue(), host_.nextWatchdog());
    // The mail's digest is due on the calendar clock, counted in whole seconds.
    if (const auto digest = mailSink_.digestDue()) {
        const std::int64_t left = *digest - SystemClock::Instance().secondsSince1970();
        next = std::min(next, SystemClock::Instance().now() + std::chrono::seconds(std::max<std::int64_t>(left, 0)));
    }
    return next;
}

std::string Runtime::endRequested() const {
    if (!endHow_.empty()) return endHow_;
    return platform::StopRequest::reason();
}

void Runtime::stop(const std::string& how) {
    if (stopped_) return;
    stopped_ = true;
    host_.stopping();
    raiseOwn(AlertKind::ProcwardStopping, "Procward stopping");
    // What the minimum interval still holds back goes now, as the last mail.
    mailSink_.flush(SystemClock::Instance().secondsSince1970());
    // The mails and the posts share the grace, side by side, from one moment.
    const auto deadline = std::chrono::steady_clock::now() + MailDelivery::kExitGrace;
    auto posts = std::async(std::launch::async, [this, deadline] { channels_.shutdown(deadline); });
    rotator_.stop();
    delivery_.shutdown(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero())));
    posts.wait();
    stateFile_.flush();
    AppLogger::Instance().get().info("Procward exiting: {}", how.empty() ? "unknown" : how);
}

bool Runtime::reload(const std::string& cause, std::string& text, bool dryRun) {
    auto& log = AppLogger::Instance().get();
    log.info("Reloading procward.ini and serverinfo.json ({}{})", cause, dryRun ? ", dry run" : "");
    auto refuse = [&](const std::string& reason) {
        log.error("Reload refused, the running configuration stays: {}", reason);
        if (!dryRun) host_.setConfigProblem("reload refused: " + reason);
        if (complaints_ && cause != "ctl") {
            std::fprintf(complaints_, "reload refused: %s\n", reason.c_str());
            std::fflush(complaints_);
        }
        text = "reload refused: " + reason + "\nthe running configuration stays";
        return false;
    };
    Settings next;
    std::vector<std::string> warnings;
    std::string error;
    if (!ReadSettings(settingsPath_, next, warnings, error)) return refuse(error);
    if (dryRun) {
        // Read beside the list in force, which stays as it is.
        ServerList candidate(list_.path());
        const ListResult list = candidate.load();
        if (!list.ok) return refuse(list.error);
        const ListChange change = supervisor_.plan(candidate.entries());
        text = "would apply: " + change.text();
        log.info("Reload (dry run) would apply: {}", change.text());
        return true;
    }
    // A list that has gone is refused too: taking it for an empty one would
    // leave every server unsupervised.
    const ListResult list = store_.refresh(false);
    if (!list.ok) return refuse(list.error);
    for (const std::string& warning : warnings) log.warn("{}", warning);

    apply(next, true);
    const ListChange change = supervisor_.load(list_.entries());
    host_.setConfigProblem({});
    const auto interval = std::chrono::duration_cast<std::chrono::seconds>(supervisor_.options().checkInterval).count();
    text = fmt::format("reloaded: {}; checking every {} s", change.text(), interval);
    log.info("Reloaded: {}; checking every {} s", change.text(), interval);
    return true;
}

bool Runtime::editList(const std::string& verb, const std::string& name, const std::string& payload, bool json,
                       std::string& text) {
    auto& log = AppLogger::Instance().get();
    ServerList file(list_.path());
    if (verb == "list") {
        if (json) {
            const ListResult read = file.elements(text);
            if (!read.ok) text = read.error;
            return read.ok;
        }
        const ListResult read = file.load();
        if (!read.ok) {
            text = read.error;
            return false;
        }
        for (const ServerEntry& entry : file.entries())
            text += fmt::format("{:>3} {}  {}  {}\n", entry.index, platform::terminalText(entry.name),
                                platform::terminalText(entry.processname), platform::terminalText(entry.commandline));
        if (file.entries().empty()) text = "the list is empty\n";
        return true;
    }

    // set and remove name one entry of the file as it stands.
    const ServerEntry* seen = nullptr;
    if (verb != "add") {
        const ListResult read = file.load();
        if (!read.ok) {
            text = "refused: " + read.error;
            return false;
        }
        int named = 0;
        for (const ServerEntry& entry : file.entries())
            if (entry.name == name) {
                seen = &entry;
                ++named;
            }
        if (named != 1) {
            text = named == 0
                       ? "refused: no entry is named \"" + name + "\""
                       : fmt::format("refused: {} entries are named \"{}\"; change them in the file", named, name);
            return false;
        }
    }
    ListResult changed;
    std::string what;
    if (verb == "add") {
        changed = file.addEntry(payload);
        rapidjson::Document entry;
        entry.Parse(payload.c_str(), payload.size());
        what = "added";
        if (entry.IsObject() && entry.HasMember("name") && entry["name"].IsString())
            what += " \"" + std::string(entry["name"].GetString()) + "\"";
    } else if (verb == "set") {
        rapidjson::Document keys;
        keys.Parse(payload.c_str(), payload.size());
        std::vector<std::pair<std::string, std::string>> values;
        if (keys.IsObject())
            for (auto member = keys.MemberBegin(); member != keys.MemberEnd(); ++member) {
                std::string value;
                if (!member->value.IsNull()) {
                    rapidjson::StringBuffer buffer;
                    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
                    member->value.Accept(writer);
                    value.assign(buffer.GetString(), buffer.GetSize());
                }
                values.emplace_back(member->name.GetString(), std::move(value));
            }
        changed = file.setMembers(*seen, values);
        what = "changed \"" + name + "\"";
    } else {
        changed = file.remove(*seen);
        what = "removed \"" + name + "\"";
    }
    if (!changed.ok) {
        log.warn("ctl {} refused: {}", verb, changed.error);
        text = "refused: " + changed.error;
        return false;
    }
    log.info("serverinfo.json {} by ctl", what);
    std::string applied;
    const bool ok = reload("ctl " + verb, applied);
    text = what + " in " + list_.path() + "; " + applied;
    return ok;
}

void Runtime::apply(const Settings& settings, bool all) {
    const Settings before = settings_;
    settings_ = settings;
    const SupervisionOptions options = SupervisionOptionsFrom(settings_.general);
    supervisor_.changeOptions(options);
    mailSink_.setSettings(settings_.mail);
    list_.setBackupsKept(settings_.general.listBackups);
    logMailState(&before.mail);
    if (settings_.webhooks != before.webhooks) configureChannels();
    if (!all) return;
    supervisor_.changeCheckInterval(options.checkInterval);
    host_.changeMetrics(settings_.general.metricsListen);
    rotator_.change(supervisor_.options().checkInterval,
                    static_cast<std::int64_t>(settings_.general.serverLogMaxMb) * 1024 * 1024,
                    settings_.general.serverLogBackups);
    if (settings_.general.logKeepDays != before.general.logKeepDays)
        AppLogger::Instance().keepDays(settings_.general.logKeepDays);
    if (settings_.general.logMaxMb != before.general.logMaxMb)
        AppLogger::Instance().limitSize(settings_.general.logMaxMb);
    if (settings_.general.restartOnExit != before.general.restartOnExit)
        AppLogger::Instance().get().warn("RESTART_ON_EXIT={} takes effect at the next start",
                                         settings_.general.restartOnExit ? 1 : 0);
}

void Runtime::logMailState(const AlertMailSettingsData* before) const {
    const std::string off = MailAlertSink::offReason(settings_.mail);
    if (off.empty()) return;
    // Said once: at the start, and when a change turns the mail off.
    if (before && MailAlertSink::offReason(*before) == off) return;
    AppLogger::Instance().get().info("alert mail off: {}", off);
}

bool Runtime::changeSettings(const Settings& settings, std::string& error) {
    if (!SaveSettings(settingsPath_, settings, error)) {
        AppLogger::Instance().get().error("procward.ini could not be saved: {}", error);
        return false;
    }
    apply(settings, false);
    return true;
}

std::string Runtime::backupsText() const {
    const ListBackups backups = list_.backups();
    const std::vector<ListBackups::Generation> generations = backups.generations();
    if (generations.empty())
        return fmt::format("no copies of {} are kept yet (one is made at each change of the list; LIST_BACKUPS={})",
                           list_.path(), backups.kept());
    std::string text = fmt::format("copies of {} in {}, newest first (LIST_BACKUPS={}):\n{:>4}  {:<19}  {:>7}  {}\n",
                                   list_.path(), backups.directory(), backups.kept(), "N", "TIME", "SERVERS", "FILE");
    for (const ListBackups::Generation& generation : generations)
        text +=
            fmt::format("{:>4}  {:<19}  {:>7}  {}\n", generation.number, ListBackups::localTimeText(generation.made),
                        generation.servers < 0 ? std::string("-") : std::to_string(generation.servers),
                        std::filesystem::path(generation.path).filename().string());
    return text;
}

bool Runtime::restoreList(int number, const std::string& cause, std::string& text) {
    auto& log = AppLogger::Instance().get();
    log.info("Restoring copy {} of serverinfo.json ({})", number, cause);
    const ListResult restored = list_.restore(number);
    if (!restored.ok) {
        log.error("Restore refused, the list stays: {}", restored.error);
        text = "restore refused: " + restored.error + "\nthe list stays as it was";
        return false;
    }
    const ListResult list = store_.refresh(false);
    if (!list.ok) {
        // The copy read as a list a moment ago: the file changed since.
        log.error("The restored list could not be read back: {}", list.error);
        text = "restored, but the list could not be read back: " + list.error + "\nthe running list stays";
        return false;
    }
    const ListChange change = supervisor_.load(list_.entries());
    host_.setConfigProblem({});
    text = fmt::format("restored copy {}: {}", number, change.text());
    log.info("Restored copy {} of serverinfo.json: {}", number, change.text());
    return true;
}
