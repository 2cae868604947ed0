// What the Program Manager held before the pass's first command to each group: asked
// for when a report or a backup wants it, to judge each item's delete and add, and
// saved to the run's icon backup before anything is sent.
#pragma once

#include <string>
#include <vector>

// Decides whether this run asks (a report or a backup is wanted); upgradeIconsMode:
// the pass touches only the groups the Program Manager already shows.
void GroupsBeforeStart(bool upgradeIconsMode);
// Whether the run asks the Program Manager what its groups hold.
bool GroupsBeforeAsking();
// Asks, when the run asks at all, what each group the script's items name holds now
// (in script order, each once), and saves them to the run's icon backup in one file.
void GroupsBeforeScript(const std::vector<std::string> &groups);
// Before the commands of the item the parser holds: tells the run log what they will
// change. False when its group is stopped because its backup could not be written, or
// when the backup still waits for a conversation that this item found none for either:
// nothing may be sent to it, and the item is recorded as not sent.
bool GroupsBeforeItem();
// Whether a group was stopped for want of its backup.
bool GroupsBeforeStopped();
