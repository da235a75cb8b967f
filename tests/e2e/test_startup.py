#!/usr/bin/python3
"""Start-up of the real binary, answered as a person would: the usage box, a good
command line, and each outcome of the schema check."""
import e2e_lib as e2e

ESCAPE = "Escape"  # closes a Yes/No box with No


def args(database, schema=None, server=None):
    server = server or e2e.SERVER
    line = ["-ds", server, "-db", database, "-ss", server]
    if schema is not None:
        line += ["-sc", schema]
    return line


def expect_exit_zero(editor):
    code = editor.wait_exit()
    e2e.check(code == 0, f"exit code {code}, expected 0; output:\n{editor.output()}")


def no_arguments_shows_usage(display):
    editor = e2e.Editor(display, [])
    box = editor.wait_window("^" + e2e.TITLE + "$")
    x, y, width, height = display.geometry(box)
    e2e.check(width >= 300, f"usage box {width} pixels wide")
    display.key(box, "Return")
    expect_exit_zero(editor)


def good_line_opens_the_window_and_exit_ends_it(display, client, database, schema):
    client[database]["stock"].insert_one({"item": "pen", "count": 3})
    editor = e2e.Editor(display, args(database, schema))
    try:
        e2e.answer_box(display, editor, "does not exist or may be invalid")  # Yes creates it
        window = editor.wait_window(r"^Tarnwell MongoDB Schema Editor \(Edit Mode\)$")
        tables = [t["sql_table"] for t in client[schema]["tables"].find({})]
        e2e.check(tables == ["stock"], f"schema tables {tables}")
        columns = sorted(c["sql_name"] for c in client[schema]["columns"].find({}))
        e2e.check(columns == ["_id", "count", "item"], f"columns {columns}")
        x, y, width, height = display.geometry(window)
        e2e.check(width >= 1080 and height >= 556, f"window {width}x{height}")
        buttons = display.bottom_buttons(window)
        e2e.check(len(buttons) == 3, f"About, Save and Exit expected, found {buttons}")
        display.click(window, *buttons[-1])  # Exit
        expect_exit_zero(editor)
    finally:
        editor.kill()


def no_to_creation_exits(display, client, database):
    schema = e2e.unique_name("e2e_no_schema")
    client[database]["stock"].insert_one({"item": "pen"})
    editor = e2e.Editor(display, args(database, schema))
    try:
        e2e.answer_box(display, editor, "does not exist", key=ESCAPE)
        expect_exit_zero(editor)
        e2e.check(schema not in client.list_database_names(), "schema written after No")
    finally:
        editor.kill()


def make_schema(display, database, schema):
    editor = e2e.Editor(display, args(database, schema))
    try:
        e2e.answer_box(display, editor, "does not exist")
        editor.wait_window(r"\(Edit Mode\)")
    finally:
        editor.kill()


def unreferenced_collections_no_keeps_the_schema(display, client):
    database = e2e.unique_name("e2e_sync30")
    schema = database + "_schema"
    client[database]["alpha"].insert_one({"a": 1})
    make_schema(display, database, schema)
    client[database]["beta"].insert_one({"b": 1})
    before = sorted(str(sorted(d.items())) for d in client[schema]["columns"].find({}, {"_id": 0}))
    editor = e2e.Editor(display, args(database, schema))
    try:
        e2e.answer_box(display, editor, "Collections exist in the database", key=ESCAPE)
        editor.wait_window(r"\(Edit Mode\)")
        tables = [t["sql_table"] for t in client[schema]["tables"].find({})]
        e2e.check(tables == ["alpha"], f"schema tables after No: {tables}")
        after = sorted(str(sorted(d.items())) for d in client[schema]["columns"].find({}, {"_id": 0}))
        e2e.check(before == after, "columns changed after No")
    finally:
        editor.kill()
    # Yes adds the new collection.
    editor = e2e.Editor(display, args(database, schema))
    try:
        e2e.answer_box(display, editor, "Collections exist in the database")
        editor.wait_window(r"\(Edit Mode\)")
        tables = sorted(t["sql_table"] for t in client[schema]["tables"].find({}))
        e2e.check(tables == ["alpha", "beta"], f"schema tables after Yes: {tables}")
    finally:
        editor.kill()
        client.drop_database(database)
        client.drop_database(schema)


def missing_collections_no_exits(display, client):
    database = e2e.unique_name("e2e_sync31")
    schema = database + "_schema"
    client[database]["alpha"].insert_one({"a": 1})
    client[database]["beta"].insert_one({"b": 1})
    make_schema(display, database, schema)
    client[database].drop_collection("beta")
    editor = e2e.Editor(display, args(database, schema))
    try:
        e2e.answer_box(display, editor, "Collections are referenced in the schema", key=ESCAPE)
        expect_exit_zero(editor)
        tables = sorted(t["sql_table"] for t in client[schema]["tables"].find({}))
        e2e.check(tables == ["alpha", "beta"], f"schema changed after No: {tables}")
    finally:
        editor.kill()
        client.drop_database(database)
        client.drop_database(schema)


def same_database_is_refused(display, client, database):
    editor = e2e.Editor(display, args(database, database))
    try:
        e2e.answer_box(display, editor, "cannot be the same database")
        expect_exit_zero(editor)
    finally:
        editor.kill()


def view_only_without_schema_name(display, client, database):
    names_before = set(client.list_database_names())
    editor = e2e.Editor(display, args(database))
    try:
        e2e.answer_box(display, editor, "A schema name is not defined")  # Yes: view anyway
        editor.wait_window(r"^Tarnwell MongoDB Schema Editor \(View Only Mode\)$")
        e2e.check(set(client.list_database_names()) <= names_before | {database},
                  "a database was created in View Only mode")
    finally:
        editor.kill()


def main(display):
    client = e2e.client()
    database = e2e.unique_name("e2e_start")
    schema = database + "_schema"
    try:
        no_arguments_shows_usage(display)
        good_line_opens_the_window_and_exit_ends_it(display, client, database, schema)
        no_to_creation_exits(display, client, database)
        unreferenced_collections_no_keeps_the_schema(display, client)
        missing_collections_no_exits(display, client)
        same_database_is_refused(display, client, database)
        view_only_without_schema_name(display, client, database)
    finally:
        client.drop_database(database)
        client.drop_database(schema)


if __name__ == "__main__":
    e2e.run(main)
