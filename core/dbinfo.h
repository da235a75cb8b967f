// The settings record shared by the window and every store routine.
#ifndef BROLIX_CORE_DBINFO_H
#define BROLIX_CORE_DBINFO_H

#include <QString>
#include <mongoc/mongoc.h>

#define DBINFO_TEXT 2048

struct db_catalog_t;
struct db_table_ref_t;
struct db_column_t;
struct db_name_t;

// The two connections' sides.
enum { SIDE_DATA = 0, SIDE_SCHEMA = 1 };

enum brolix_mode { MODE_EDIT = 0, MODE_READ_ONLY = 1, MODE_VIEW_ONLY = 2 };

struct DBINFO {
    QString catalog;
    QString schema;
    QString table;
    QString qualified_table;
    QString virtual_table;
    QString dsn;
    char server[DBINFO_TEXT];
    char database[DBINFO_TEXT];
    char user[DBINFO_TEXT];
    char password[DBINFO_TEXT];
    char md_server[DBINFO_TEXT];
    char md_database[DBINFO_TEXT];
    char md_user[DBINFO_TEXT];
    char md_password[DBINFO_TEXT];
    db_catalog_t* tables;
    mongoc_client_t* client;
    mongoc_database_t* db;
    mongoc_client_t* md_client;
    mongoc_database_t* md_db;
    int preview_rows;
    int max_width;
    bool default_wide;
    db_table_ref_t* db_collections;
    db_table_ref_t* md_tables;
    int mode;
    bool view_switch;
    char debug_file[DBINFO_TEXT];
    int column_count;
    int page_count;
    int page_size;
    int current_page;
    db_column_t* columns;
    db_name_t* vt_names;
    char* ssl;
    char* wcv;
    mongoc_ssl_opt_t ssl_opts;
    int legacy_collection_list;
    // Connections that creation and synchronisation read the data side over at once (-pool).
    int pool_size;
    // Which documents creation, synchronisation, diff and profile sample (-sample).
    int sample_strategy;
};

enum sample_strategy { SAMPLE_FIRST = 0, SAMPLE_NEWEST, SAMPLE_SPREAD, SAMPLE_RANDOM };

// What -pool gives when it is not set.
enum { DEFAULT_POOL_SIZE = 8, MAX_POOL_SIZE = 64 };

// A record with every text empty, every pointer null and every number zero:
// the state before brolix_init and the command line have run.
void dbinfo_clear(DBINFO* dbinfo);

// The fields that brolix_init resets (selection, handles, sizes, mode).
void dbinfo_init(DBINFO* dbinfo);

// The settings after the command line and the data source, before connecting: the
// sample size a line without -ps gets (100), no listing kind known yet, no grid.
void dbinfo_before_connect(DBINFO* dbinfo);

// The leading decimal number of a text, clamped to the int range; text that is no
// number gives 0 ("12abc" is 12). Settings and grid cells are read this way.
int leading_decimal(const char* text);

// Copies text into a 2048-byte field; false (field unchanged) when it does not fit.
bool dbinfo_set_text(char* field, const char* text);

// Heap strings and clients that live until the process ends. Kept reachable here so
// that the leak checker tells them apart from real leaks.
char* keep_string(const char* text);
void keep_for_process(void* pointer);

#endif
