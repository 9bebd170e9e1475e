-- The upload scenario: POST a small multipart/form-data body, a text field and a 1 KiB file part.
-- bench/bench_serving.py builds the same body when it checks an app.
local boundary = "quillmothbench7MA4YWxkTrZu0gW"
local content = string.rep("0123456789abcdef", 64)

wrk.method = "POST"
wrk.headers["Content-Type"] = "multipart/form-data; boundary=" .. boundary
wrk.body = "--" .. boundary .. "\r\n"
    .. 'Content-Disposition: form-data; name="title"\r\n\r\n'
    .. "notes\r\n"
    .. "--" .. boundary .. "\r\n"
    .. 'Content-Disposition: form-data; name="file"; filename="moth.txt"\r\n'
    .. "Content-Type: text/plain\r\n\r\n"
    .. content .. "\r\n"
    .. "--" .. boundary .. "--\r\n"
