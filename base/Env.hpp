// The installation's directories and the program's name for the C-style layers: the same
// values and computed defaults as DirAcces_EnvVar (a default is exported to the process
// environment when it is computed).
//
// The texts returned stay valid until EnvReset, which forgets every kept value so that
// the next call reads the environment again.
#pragma once

void Env_Init();

const char* EnvGetZOLTLIB();
const char* EnvGetZOLTENV();
const char* EnvGetZOLTDAT();
// The user's language as a three-letter code ("eng", "deu", ...) from LANGUAGE or LANG,
// "eng" when neither is set.
const char* EnvGetLANGUAGE();
// The distribution directory: VELMAR_DISTRIBUTION, which the ZOLTLIB default sets, or
// else ZOLTLIB.
const char* EnvGetDistribDir();
// The name the program goes by in messages; until it is set, the last component of the
// program's invocation path.
void EnvSetExecName(const char* name);
const char* EnvGetExecName();
void EnvReset();
