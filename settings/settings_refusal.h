// A choice the settings dialogs refuse, for the shell to word; the dialog stays open.
#pragma once

enum class SettingsRefusal {
    RateOutOfRange,          // RATE outside 1..60
    StampTimeoutOutOfRange,  // DATETIMEVAL outside 1..3600
    SameComNumber,           // both ports on one COM name
};
