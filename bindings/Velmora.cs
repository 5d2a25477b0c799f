// Velmora.dll for C#: every export as a P/Invoke declaration.
//
// Each function sends one request to the scheduler service over \\.\pipe\pipe_job and returns
// its status (0 for success), or a Windows error code when the service could not be reached; the
// same value is the thread's last error, Marshal.GetLastWin32Error(), the only report of
// StartJobOnBoot and SetProcessPriority. Texts go in the ANSI code page: a character it cannot
// hold throws ArgumentException instead of being sent as a look-alike (BestFitMapping = false,
// ThrowOnUnmappableChar = true). The process must have the DLL's bitness: build for x86 with the
// win32 archive's DLL, for x64 with the win64 one (an AnyCPU program runs as a 32-bit process when
// it prefers 32-bit, as a .NET Framework exe project does by default, else as a 64-bit one on
// 64-bit Windows).
using System;
using System.IO;
using System.Runtime.InteropServices;

namespace VelmoraInterop
{
    public static class Velmora
    {
        public const string Dll = "Velmora.dll";

        static Velmora()
        {
            CheckBitness(Path.Combine(AppDomain.CurrentDomain.BaseDirectory, Dll));
        }

#if VELMORA_NUGET
        // The package copies the DLL that PlatformTarget (under AnyCPU, Prefer32Bit) names.
        const string WhereTheDllComesFrom =
            "set PlatformTarget to the bitness the process runs as (under AnyCPU, Prefer32Bit " +
            "picks it), so that the Velmora package copies the DLL that fits";
#else
        const string WhereTheDllComesFrom =
            "use the Velmora archive of this process's bitness";
#endif

        // Throws BadImageFormatException, naming both bitnesses, when the DLL at `path` is not of
        // this process's bitness; a DLL that is not there is left to the loader to report.
        public static void CheckBitness(string path)
        {
            if (!File.Exists(path)) return;
            using (var reader = new BinaryReader(File.OpenRead(path)))
            {
                reader.BaseStream.Seek(0x3C, SeekOrigin.Begin);
                reader.BaseStream.Seek(reader.ReadInt32() + 4, SeekOrigin.Begin);
                bool dll64 = reader.ReadUInt16() == 0x8664;
                if (dll64 != Environment.Is64BitProcess)
                {
                    throw new BadImageFormatException(string.Format(
                        "{0} is {1}, but this process is {2}: build the program for {3}, or " +
                        WhereTheDllComesFrom,
                        path, dll64 ? "64-bit (x64)" : "32-bit (x86)",
                        Environment.Is64BitProcess ? "64-bit" : "32-bit", dll64 ? "x64" : "x86"));
                }
            }
        }

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int StartScheduler();

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int StopScheduler();

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int StartJob(int job);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int RestartJob(int job);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int CancelJob(int job);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int DeleteJob(int job);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int ChangeJobState(int job, int state);

        // Returns nothing: the status is Marshal.GetLastWin32Error().
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern void StartJobOnBoot();

        // Returns nothing: the status is Marshal.GetLastWin32Error().
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern void SetProcessPriority(int priority);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int DeleteJobFile(int job);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int DeleteJobFileByName(string name);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int DeleteJobProfile(int job);

#if !VELMORA_EDITION2
        // Edition 3 only: with edition 2's DLL the call throws EntryPointNotFoundException. The
        // Velmora.Edition2 package defines VELMORA_EDITION2, so that a call does not compile.
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int StartMigJob(int job, string parameter);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int StartSyncJob(int job, string first, string second);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, SetLastError = true)]
        public static extern int RunProcAsAdmin(string commandLine);
#endif

        [DllImport("kernel32.dll", CharSet = CharSet.Ansi, ExactSpelling = true)]
        static extern IntPtr GetModuleHandleA(string name);

        [DllImport("kernel32.dll", CharSet = CharSet.Ansi, ExactSpelling = true)]
        static extern IntPtr GetProcAddress(IntPtr module, string name);

        // The exported int nVelmora, found by the decorated name the DLL exports it under.
        public static int NVelmora
        {
            get
            {
                StartScheduler();  // loads the DLL
                IntPtr variable = GetProcAddress(GetModuleHandleA(Dll), "?nVelmora@@3HA");
                if (variable == IntPtr.Zero) throw new EntryPointNotFoundException("?nVelmora@@3HA");
                return Marshal.ReadInt32(variable);
            }
        }
    }
}
