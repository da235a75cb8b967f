#!/usr/bin/python3
"""Start-up of the real binary answered as a person would, each box by key."""
import e2e_lib as e2e


def args(database, schema=None):
    line = ["-ds", e2e.SERVER, "-db", database, "-ss", e2e.SERVER]
    return line + (["-sc", schema] if schema else [])


def main(display):
    client = e2e.client()
    database = e2e.unique_name("e2e_start")
    schema, refused = database + "_schema", database + "_refused"
    client[database]["stock"].insert_one({"item": "pen", "count": 3})
    runs = [
        ("usage box, OK ends", [], "Return", None),
        ("new schema, No ends", args(database, refused), "Escape", None),
        ("no schema name, Yes views", args(database), "Return", r"\(View Only Mode\)$"),
        ("new schema, Yes creates", args(database, schema), "Return", r"\(Edit Mode\)$"),
    ]
    try:
        for name, line, key, title in runs:
            print(name)
            editor = e2e.Editor(display, line)
            try:
                editor.answer_box(key)
                if title:
                    window = editor.wait_window("^" + e2e.TITLE + " " + title)
                    display.click(window, *display.exit_button(window))
                editor.wait_exit(0)
            finally:
                editor.kill()
        names = client.list_database_names()
        e2e.check(refused not in names, "a schema written after No")
        columns = sorted(c["sql_name"] for c in client[schema]["columns"].find({}))
        e2e.check(columns == ["_id", "count", "item"], f"columns {columns}")
    finally:
        client.drop_database(database)
        client.drop_database(schema)


if __name__ == "__main__":
    e2e.run(main)
