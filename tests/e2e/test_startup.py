#!/usr/bin/python3
"""Start-up of the real binary answered as a person would, each box by key: what the answer
did is checked (exit code, window title, schema written), the texts are the widget tests'."""
import e2e_lib as e2e


def main(display):
    client = e2e.client()
    database = e2e.unique_name("e2e_start")
    schema, refused = database + "_schema", database + "_refused"
    client[database]["stock"].insert_one({"item": "pen", "count": 3})
    line = ["-ds", e2e.SERVER, "-db", database, "-ss", e2e.SERVER]
    runs = [  # name, arguments, key, the window that opens (None: the box ends the process)
        ("usage box, OK ends", ["-dp", "Ed1t0r-pw", "-ssl", "maybe"], "Return", None),
        ("new schema, No ends", line + ["-sc", refused], "Escape", None),
        ("no schema name, Yes views", line, "Return", r"\(View Only Mode\)$"),
        ("new schema, Yes creates", line + ["-sc", schema], "Return", r"\(Edit Mode\)$"),
    ]
    try:
        for name, args, key, title in runs:
            print(name)
            editor = e2e.Editor(display, args)
            try:
                editor.wait_window("^" + e2e.TITLE + "$")  # start-up has read its arguments
                with open(f"/proc/{editor.process.pid}/cmdline", "rb") as cmdline:
                    e2e.check(b"Ed1t0r" not in cmdline.read(), "a password in the process list")
                editor.answer_box(key)
                if title:
                    display.click_exit(editor.wait_window("^" + e2e.TITLE + " " + title))
                editor.wait_exit(0)
            finally:
                editor.kill()
        e2e.check(refused not in client.list_database_names(), "a schema written after No")
        columns = sorted(c["sql_name"] for c in client[schema]["columns"].find({}))
        e2e.check(columns == ["_id", "count", "item"], f"columns {columns}")
    finally:
        client.drop_database(database)
        client.drop_database(schema)


if __name__ == "__main__":
    e2e.run(main)
