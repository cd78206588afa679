// Handlers of the commands built by the script engine itself (registered in the command table).
#pragma once

namespace engine {

// Variables and expressions.
void cmdVarSet();
void cmdVarFree();
void cmdVarPush();
void cmdVarPop();
void cmdVarList();
void cmdCompute();
void cmdComputeAbs();
void cmdComputeSqrt();
// Control flow.
// The comparison of IF and IFSET (both operands already substituted): numbers when the left is
// only digits and the right is numeric, otherwise text without letter case, or byte for byte
// with '@' before the operator.
bool compareValues(const char* a, const char* op, const char* b);
void cmdIf();
void cmdIfSet();
void cmdGoto();
void cmdGosub();
void cmdReturn();
void cmdCall();
void cmdCallAndGosub();
void cmdInterpret();
void cmdEnd();
void cmdExit();
void cmdDelay();
void cmdDelayUntil();
// Strings.
void cmdStrAddBackslash();
void cmdStrFind();
void cmdStrFirst();
void cmdStrIsLabel();
void cmdStrIsNumeric();
void cmdStrLCase();
void cmdStrLength();
void cmdStrLPad();
void cmdStrLPadZero();
void cmdStrPiece();
void cmdStrRepeat();
void cmdStrRPad();
void cmdStrTrim();
void cmdStrUCase();
// System and debug.
void cmdDebugFile();
void cmdDebugText();
void cmdRandom();
void cmdRandomize();
void cmdSystemCommandLine();
void cmdSystemCurrentScript();
void cmdSystemDateTime();
void cmdSystemPlatform();
void cmdSystemTimer();

}  // namespace engine

