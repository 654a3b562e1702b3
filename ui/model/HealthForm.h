#pragma once
#include <optional>
#include <string>

#include "config/HealthCheckEdit.h"
#include "config/HealthRule.h"

// The health fields of the edit dialog: what they show of a server's rule,
// and what the operator typed turned into the change to write.

// The fields (the name, file name and command line edits are 1017-1019).
constexpr int kHealthKindChoiceId = 1020;
constexpr int kHealthTargetEditId = 1021;
constexpr int kHealthIntervalEditId = 1022;
constexpr int kHealthFailuresEditId = 1023;
constexpr int kHealthNoteLabelId = 1024;

// The choice's entries, in this order: "无", "TCP", "HTTP".
enum class HealthFormKind { none, tcp, http };

// The fields as texts.
struct HealthFormTexts {
    HealthFormKind kind = HealthFormKind::none;
    std::string target;
    std::string interval;
    std::string failures;

    bool operator==(const HealthFormTexts&) const = default;
};

// What the dialog shows for a rule.
struct HealthFormView {
    HealthFormTexts texts{};
    // False for a rule the dialog cannot edit (a command probe, "exec"):
    // the fields are disabled and the rule stays exactly as the file has it.
    bool editable = true;
    // A line beneath the fields about the parts of the rule only the file
    // sets (the command probe, a memory limit); empty when there are none.
    std::string note;
};

HealthFormView ShowHealthRule(const std::optional<HealthRule>& rule);

// The typed fields, checked against what was shown.
struct HealthFormCheck {
    std::string message;  // empty when accepted
    int field = 0;        // the field to focus when refused
    // The change to write; none when the fields say what the rule already
    // says (nothing is written then).
    std::optional<HealthCheckEdit> edit;

    bool accepted() const { return message.empty(); }
};

// Checks the fields in order: the address (for tcp "host:port",
// "[IPv6 address]:port" or "listen"; for http a URL that starts with
// "http://", host "listen" allowed), the interval (a whole number of
// seconds from 1 to 86400) and the failures (a whole number from 1 to
// 1000000). A field whose text is the one shown keeps the rule's own value,
// so an interval the file gives in fractions of a second survives an edit
// of the address. `rule` is the rule the dialog was opened with.
HealthFormCheck TakeHealthRule(const HealthFormTexts& typed, const HealthFormView& shown,
                               const std::optional<HealthRule>& rule);

// Messages of the refusals.
extern const char* const kHealthTargetMissingMessage;
extern const char* const kHealthTcpTargetMessage;
extern const char* const kHealthHttpTargetMessage;
extern const char* const kHealthIntervalMessage;
extern const char* const kHealthFailuresMessage;
