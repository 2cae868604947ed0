// What the Program Manager says about its groups when asked (a request on the
// PROGMAN topic, CF_TEXT): the group list for the item "Groups", and one
// group's description for an item that names it. The emulated Program Manager
// writes its answers here, and the tools that read them parse them here, so
// both hold to one layout. Pure text, no platform.
//
// The group list is one name a line. A description's first line is the group:
// "name",group file,item count. Each further line is one item:
// "title","command line",default directory,icon path,x,y,icon index,hot key,minimize.
// Lines end in CR LF. Nothing is escaped: a quoted field ends at a quote that
// a comma or the line's end follows, and the default directory ends at the
// first comma after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct GroupItemInfo {
    std::string name, commandLine, defaultDir, iconPath;
    int32_t x = -1, y = -1;  // -1,-1: no place of its own (AddItem's "next free place")
    int32_t iconIndex = 0, hotKey = 0;
    bool minimize = false;
};

struct GroupInfo {
    std::string name, path;
    int32_t itemCount = 0;  // as the first line says; items holds what the lines say
    std::vector<GroupItemInfo> items;
};

// The item name that asks for the group list.
constexpr const char *kGroupsItem = "Groups";

std::string FormatGroupList(const std::vector<std::string> &names);
std::vector<std::string> ParseGroupList(const std::string &text);

std::string FormatGroupInfo(const GroupInfo &group);
// False with *error naming the line when the text is not a description.
bool ParseGroupInfo(const std::string &text, GroupInfo *group, std::string *error);

// The commands that put a group back as the description has it, one a line:
// CreateGroup with its name and file, then AddItem with every field. False
// with *error when a command would be longer than the Program Manager takes.
bool FormatRestore(const GroupInfo &group, std::string *out, std::string *error);
// The DeleteGroup command of a group, one line: what takes away a group a run created,
// or empties one before FormatRestore puts it back.
bool FormatDeleteGroup(const std::string &name, std::string *out, std::string *error);
