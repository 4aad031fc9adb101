#ifndef REPOSITORYHANDLER_JAVABINDINGS_H
#define REPOSITORYHANDLER_JAVABINDINGS_H

#include <jni.h>

// Stores value in the int field "status" of object. A missing field sets nothing and leaves its
// Java error pending; a Java exception raised by the store is logged and cleared.
void setStatus(JNIEnv* env, jobject object, jint value);

// A new Java string of text. Text that is valid modified UTF-8 (what GetStringUTFChars hands
// out) goes through NewStringUTF unchanged; any other text (a name made outside Java: standard
// four-byte sequences, bytes of another encoding) is decoded leniently instead of being handed to
// NewStringUTF, whose behaviour on it is undefined: four-byte sequences become surrogate pairs,
// every byte that fits no sequence becomes U+FFFD. Null with a Java error pending when out of
// memory.
jstring newJavaString(JNIEnv* env, const char* text);

#endif
