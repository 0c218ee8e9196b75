// A C# launcher's use of quisel, declared as launchers declare it: the plain names with
// CharSet.Unicode, which the runtime binds to the UTF-16 exports ClearDirW and
// VersionMoveW. It works on names no code page spells (Hangul, emoji) in a scratch game
// under the folder given (the current one by default) and exits 0 only when all held.
using System;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;

static class Consumer
{
    [DllImport("quisel", CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    static extern int ClearDir(string dir, int removeDir);

    [DllImport("quisel", CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    static extern int VersionMove(string fromDir, string toDir, string listPath, int force);

    [DllImport("quisel", CallingConvention = CallingConvention.Cdecl)]
    static extern int VersionBackup(int newVersion);

    // The ANSI export by its exact name, given the same UTF-16 text: what the plain
    // declaration would reach if the runtime did not try the W name first.
    [DllImport("quisel", EntryPoint = "VersionMove", ExactSpelling = true, CharSet = CharSet.Unicode,
               CallingConvention = CallingConvention.Cdecl)]
    static extern int AnsiVersionMove(string fromDir, string toDir, string listPath, int force);

    static int failures;

    static void Check(bool held, string what)
    {
        Console.WriteLine((held ? "ok:     " : "FAILED: ") + what);
        if (!held) failures++;
    }

    // Each file's bytes are its own: its name in UTF-8 behind a few bytes no text has.
    static byte[] Content(string name)
    {
        return new byte[] { 0, 0xFF, 0x80 }.Concat(Encoding.UTF8.GetBytes(name)).ToArray();
    }

    static void Put(string path)
    {
        Directory.CreateDirectory(Path.GetDirectoryName(Path.GetFullPath(path)));
        File.WriteAllBytes(path, Content(path));
    }

    // The file is at path, holding what Put wrote at source.
    static bool Arrived(string path, string source)
    {
        return File.Exists(path) && File.ReadAllBytes(path).SequenceEqual(Content(source));
    }

    static int Main(string[] args)
    {
        Console.OutputEncoding = new UTF8Encoding(false);
        string game = Path.Combine(Path.GetFullPath(args.Length > 0 ? args[0] : "."), "게임 🎮");
        if (Directory.Exists(game)) Directory.Delete(game, true);
        Directory.CreateDirectory(game);
        Directory.SetCurrentDirectory(game);
        Console.WriteLine("game directory: " + game);

        // A patch tree and its move list: UTF-8 behind the byte-order mark, Windows separators.
        string[] entries = { "데이터\\지도 🗺.dat", "설명서 📜.txt" };
        string[] moved = entries.Select(e => e.Replace('\\', Path.DirectorySeparatorChar)).ToArray();
        foreach (string file in moved) Put(Path.Combine("패치 🎁", file));
        File.WriteAllText("목록.txt", string.Join("\r\n", entries) + "\r\n", new UTF8Encoding(true));

        // Roots inside the game directory as full paths: only below it are missing levels
        // of the destination created.
        string from = Path.Combine(game, "패치 🎁"), to = Path.Combine(game, "설치");
        Check(AnsiVersionMove(from, to, "목록.txt", 0) == 0 && !Directory.Exists("설치"),
              "the ANSI VersionMove, given the same UTF-16 text, moves nothing (0)");
        Check(VersionMove(from, to, "목록.txt", 0) == 1, "VersionMove(패치 🎁, 설치, 목록.txt, 0) returned 1");
        foreach (string file in moved)
            Check(Arrived(Path.Combine("설치", file), Path.Combine("패치 🎁", file)) &&
                  !File.Exists(Path.Combine("패치 🎁", file)), "moved to 설치, its name and bytes kept: " + file);

        // A backup of what arrived, listed by the same kind of list.
        File.WriteAllText("backuplist.txt", "설치\\" + entries[0] + "\r\n", new UTF8Encoding(true));
        File.Copy("backuplist.txt", "newlist.txt");
        Check(VersionBackup(0) == 1, "VersionBackup(0) returned 1");
        Check(Arrived(Path.Combine("gameold", "설치", moved[0]), Path.Combine("패치 🎁", moved[0])),
              "backed up into gameold: 설치/" + moved[0]);

        // Named relative to the game: should the call reach the ANSI export with this UTF-16
        // text, it names no folder, where a full path would be cut to its first character ("/").
        string[] scrap = { Path.Combine("임시 🗑", "캐시", "조각 🧩.bin"), Path.Combine("임시 🗑", "기록.txt") };
        foreach (string file in scrap) Put(file);
        Check(ClearDir("임시 🗑", 1) == 1, "ClearDir(임시 🗑, 1) returned 1");
        Check(!Directory.Exists("임시 🗑"), "임시 🗑 is gone");

        if (failures > 0 && File.Exists("quisel.log"))
            Console.WriteLine("quisel.log:\n" + File.ReadAllText("quisel.log"));
        Console.WriteLine(failures == 0 ? "all held" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
