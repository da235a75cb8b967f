// The profile of tables' columns: what their collection's sample holds, beside the SQL
// type the schema saved. Read only; nothing of it is written.
#ifndef BROLIX_STORE_PROFILE_H
#define BROLIX_STORE_PROFILE_H

#include "core/outcomes.h"
#include "discovery/profile.h"

#include <bson/bson.h>
#include <string>
#include <vector>

struct DBINFO;
struct db_column_t;
struct db_sample_t;

struct profile_column_t {
    std::string sql_name, mongo_name;
    int sql_type = 0;        // what the sample gives
    int saved_sql_type = 0;  // what the schema holds; 0 when it has no such column
    db_column_profile_t seen{}; // decided_id is always NULL here: the text is in decided_id
    std::string decided_id;
    bool unfit = false; // values the saved SQL type cannot show (the driver: "Cannot convert data")
    bool rare = false;  // held by fewer than 5% of the documents sampled
};

struct table_profile_t {
    std::string table;
    int32_t documents = 0;
    std::vector<profile_column_t> columns;
};

// Samples each named collection (all of the data database's when none are named) as
// creation does, and pairs its columns with the schema's by MongoDB name. False with
// code, the table and the library's error (zeroed when there is none) when one could
// not be read.
bool profile_tables(DBINFO* dbinfo, const std::vector<std::string>& tables, std::vector<table_profile_t>* out,
                    int* code, std::string* table, bson_error_t* error);

// A column's profile from a sample's list and profile, paired with the saved columns.
void profile_columns(const db_sample_t* sample, const db_column_t* saved, table_profile_t* out);

// Names of the BSON type of a slot and of an SQL type code, as the grid shows them.
std::string profile_type_name(int bson_type);
std::string profile_sql_type_name(int sql_type);
// The type mix as "NumberInt32 6, String 1, null 1", most seen first.
std::string profile_type_mix(const db_column_profile_t& seen);

std::string profile_text(const std::vector<table_profile_t>& tables);
std::string profile_json(const std::vector<table_profile_t>& tables, const char* database, int strategy);

#endif
