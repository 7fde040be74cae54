"""Parses a multipart/form-data body with Werkzeug's parser, independently of the library.

    /usr/bin/python3 parse_multipart.py BODY_FILE CONTENT_TYPE

Prints one JSON object: {"fields": {name: value}, "names": [part names],
"files": [{"name", "filename", "content_type", "data_b64"}]}, or {"error": text}.
"""

import base64
import io
import json
import sys

from werkzeug.formparser import parse_form_data


def main():
    path, content_type = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        body = f.read()
    environ = {
        "REQUEST_METHOD": "POST",
        "CONTENT_TYPE": content_type,
        "CONTENT_LENGTH": str(len(body)),
        "wsgi.input": io.BytesIO(body),
    }
    try:
        _, form, files = parse_form_data(environ, silent=False)
    except Exception as error:  # the test reports whatever the parser refused
        print(json.dumps({"error": f"{type(error).__name__}: {error}"}))
        return
    names = list(form.keys()) + list(files.keys())
    out = {"fields": {k: form[k] for k in form.keys()}, "names": names, "files": []}
    for name, storage in files.items(multi=True):
        out["files"].append({
            "name": name,
            "filename": storage.filename,
            "content_type": storage.content_type,
            "data_b64": base64.b64encode(storage.read()).decode("ascii"),
        })
    print(json.dumps(out))


if __name__ == "__main__":
    main()
