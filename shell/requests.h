// requests.h -- message types of the requests the shell sends to a runtime
// process: nksh sends them, the nkrun stand-in answers them.
#ifndef NK_SHELL_REQUESTS_H
#define NK_SHELL_REQUESTS_H

constexpr int kTypePost = 201;
constexpr int kTypeStat = 202;
constexpr int kTypePs = 209;
constexpr int kTypeLua = 210;
constexpr int kTypeSet = 212;
constexpr int kTypeGet = 213;

#endif  // NK_SHELL_REQUESTS_H
