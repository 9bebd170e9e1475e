-- The JSON API scenario: PUT with two int path parameters and a query string (in the URL given to
-- wrk), the bearer token and a JSON body. bench/bench_serving.py sends the same request when it
-- checks an app, and counts the answers that are not 2xx (a wrong token is a 401).
wrk.method = "PUT"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer moth-secret-token"
wrk.body = '{"name":"Atlas moth","wingspan_mm":250,"tags":["saturniidae","nocturnal"]}'
