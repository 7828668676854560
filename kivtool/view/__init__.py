"""`kivtool view`: a local web page that plays animations and lets their
placement (frame offsets, speed) be changed and saved.

`server` is the web server (Starlette under uvicorn, on 127.0.0.1 only) and
the rules of what it may read and write; `source` is its one door to the
native load and the safe writer; `static/` holds the page itself, plain
HTML, CSS and JavaScript with nothing to build.
"""
