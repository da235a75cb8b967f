#!/usr/bin/python3
"""Start-up from an ODBC data source: `brolix -dsn NAME` with the data sources in a user
odbc.ini of the test's own (ODBCINI) and an empty system directory (ODBCSYSINI), so the
machine's /etc/odbc.ini plays no part."""
import os
import shutil
import tempfile

import e2e_lib as e2e

DEBUG_LINE = "- - - - -DSN NOT Tarnwell"


def data_source(name, driver, **values):
    lines = [f"[{name}]", f"Driver = {driver}"]
    lines += [f"{key} = {value}" for key, value in values.items()]
    return "\n".join(lines) + "\n\n"


def odbc_environment(directory, user_text):
    system_dir = os.path.join(directory, "system")
    os.makedirs(system_dir, exist_ok=True)
    for name in ("odbc.ini", "odbcinst.ini"):
        open(os.path.join(system_dir, name), "w").close()
    user_ini = os.path.join(directory, "user.ini")
    with open(user_ini, "w") as f:
        f.write(user_text)
    return {"ODBCINI": user_ini, "ODBCSYSINI": system_dir}


def opens_editor_on_the_data(display, directory, database, schema):
    client = e2e.client()
    client[database]["parts"].insert_many([{"name": "bolt", "qty": 4}, {"name": "nut", "qty": 9}])
    env = odbc_environment(directory, data_source(
        "demo", "/opt/tarnwell/lib/libbrol.so", Server=e2e.SERVER, Database=database, User="",
        Password="", MD_Server=e2e.SERVER, MD_Database=schema, MD_User="", MD_Password="",
        SSL="No", DefaultW="No", Preview="10"))
    editor = e2e.Editor(display, ["-dsn", "demo"], env=env)
    try:
        # A new schema: Yes (the default) creates it from the data the data source names.
        e2e.answer_box(display, editor, "The schema ... does not exist or may be invalid.")
        editor.wait_window(r"\(Edit Mode\)")
        tables = [t["sql_table"] for t in client[schema]["tables"].find({})]
        e2e.check(tables == ["parts"], f"schema tables {tables}, expected ['parts']")
        e2e.check(DEBUG_LINE not in editor.output(), "debug line for a data source of ours")
    finally:
        editor.kill()


def missing_name_is_not_found(display, directory):
    env = odbc_environment(directory, data_source("demo", "/opt/tarnwell/lib/libbrol.so"))
    editor = e2e.Editor(display, ["-dsn", "nowhere"], env=env)
    try:
        e2e.answer_box(display, editor, "Datasource not found.")
        code = editor.wait_exit()
        e2e.check(code == 0, f"exit code {code}, expected 0")
        e2e.check(DEBUG_LINE not in editor.output(), "debug line for a missing data source")
    finally:
        editor.kill()


def other_driver_is_refused(display, directory):
    env = odbc_environment(directory, data_source(
        "demo", "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so", Server=e2e.SERVER))
    editor = e2e.Editor(display, ["-dsn", "demo"], env=env)
    try:
        e2e.answer_box(display, editor, "Datasource not compatible with the Tarnwell MongoDB Driver.")
        code = editor.wait_exit()
        e2e.check(code == 0, f"exit code {code}, expected 0")
        e2e.check(DEBUG_LINE in editor.output(), f"no debug line; output:\n{editor.output()}")
    finally:
        editor.kill()


def installer_library_that_does_not_load(display, directory):
    env = odbc_environment(directory, data_source("demo", "/opt/tarnwell/lib/libbrol.so"))
    env["BROLIX_ODBCINST_LIBRARY"] = "libbrolix-no-such-library.so.9"
    editor = e2e.Editor(display, ["-dsn", "demo"], env=env)
    try:
        e2e.answer_box(display, editor, "Failed to load ODBC installer library (...).")
        code = editor.wait_exit()
        e2e.check(code == 0, f"exit code {code}, expected 0")
    finally:
        editor.kill()


def main(display):
    directory = tempfile.mkdtemp(prefix="brolix-e2e-dsn-")
    database = e2e.unique_name("dsn_data")
    schema = e2e.unique_name("dsn_schema")
    try:
        opens_editor_on_the_data(display, directory, database, schema)
        missing_name_is_not_found(display, directory)
        other_driver_is_refused(display, directory)
        installer_library_that_does_not_load(display, directory)
    finally:
        client = e2e.client()
        client.drop_database(database)
        client.drop_database(schema)
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    e2e.run(main)
