// The access database's tables as warderd creates them (warderd/access_db.cpp):
// an uploaded key database must be one warderd could have made, or it would
// list empty keys, refuse additions, or run statements of its own inside
// warderd's (a trigger that puts a deleted key back). Shared by the upload
// and its fuzz target.
#pragma once
#include "sql3.h"

inline constexpr sql3_column kKeysColumns[] = {
    {"id", "INTEGER", 1}, {"name", "TEXT", 0}, {"key", "TEXT", 0}, {"timeEnter", "DATE", 0}};
inline constexpr sql3_column kUsersColumns[] = {{"id", "INTEGER", 1}, {"auth", "TEXT", 0}, {"read", "TEXT", 0},
                                                {"write", "TEXT", 0},  {"timeEnter", "DATE", 0}};
inline constexpr sql3_table kAccessTables[] = {{"keys", kKeysColumns}, {"users", kUsersColumns}};
