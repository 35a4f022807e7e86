// The LUN argument string of a CreateLun (a blank-separated option string,
// each option a dash, its name, a blank and its value): the options the
// service itself reads, and the creation-time option it appends so that a
// saved request keeps its LUN's creation time.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>

#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "messages/WzScsiServerMessages.h"

// The option carrying a LUN's creation time.
constexpr const char* kLunCreationTimeArg = "creationTime";

// Fills targetId, serialPrefix, path and (for a replayed LUN) creationTime
// of lun from the options ti, path or ssid, sp and creationTime. Only a
// fully valid string changes the record.
CRnError ProcessCreateLunArgs(const std::string& args, WzScsiSrvLun& lun);
// The LUN number of an open request's "-li" option.
CRnError GetLunId(const std::string& args, int32_t& lunId);
// creationTime of a replayed LUN (lunId != -1) from the option; the current
// time when it is missing or malformed (logged).
void ReadLunCreationTime(const CCommandLineArguments& args, WzScsiSrvLun& lun);
void SetLunCreationTime(WzScsiServer::BStoreDesc& desc, uint64_t time);
// Appends " -name value" to the description's arguments.
void SetBstorProperty(WzScsiServer::BStoreDesc& desc, const std::string& name, const std::string& value);
