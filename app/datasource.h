// Settings from a named ODBC data source.
#ifndef BROLIX_APP_DATASOURCE_H
#define BROLIX_APP_DATASOURCE_H

struct DBINFO;

// Fills the settings that the command line left empty from the data source named by
// dbinfo->dsn. True when code is 0; otherwise code is -14 (not usable by the editor),
// -15 (not found) or -16 (the system library could not be loaded).
bool lookup_data_source(DBINFO* dbinfo, int* code);

// The text of the start-up box for code -16 on this platform.
const char* data_source_library_message(void);

#endif
