/* Machine-dependent part of jni.h for Windows (32-bit and 64-bit). */
#ifndef QL_JNI_MD_H
#define QL_JNI_MD_H

/* A module that exports its natives through a .def file defines JNIEXPORT empty before this. */
#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
