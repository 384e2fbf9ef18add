// The answer to a request whose values are refused: 400 with a plain-text
// body "error: <field>: <reason>\n", so a script and an operator learn which
// field to mend and that nothing of the request was applied. Every page
// that checks an operator's values answers a refusal through this.
#pragma once

#include <string_view>

class HttpResponse;

// Writes `error` (already "error: <field>: <reason>\n") and returns 400.
int answerRefused(HttpResponse& resp, std::string_view error);
