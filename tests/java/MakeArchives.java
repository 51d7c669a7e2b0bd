// Writes LHA archives with an encoder that nobody on this project wrote, so that the extractor is
// tested against data it did not shape itself: `MakeArchives OUTDIR` leaves OUTDIR/inputs/ (the
// originals), OUTDIR/*.lzh and OUTDIR/manifest.tsv (a line a member). Fixed seeds, times and zone.

import jp.gr.java_conf.dangan.util.lha.CompressMethod;
import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaOutputStream;
import jp.gr.java_conf.dangan.util.lha.LhaProperty;

import java.io.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.*;

public final class MakeArchives {
    static final String[] METHODS = {"lh0", "lh1", "lh4", "lh5", "lh6", "lh7", "lzs", "lz5", "lz4"};
    // Even seconds far from a daylight-saving switch, winter and summer in turn.
    static final long[] T = {1610702430L, 1562243696L, 946730040L, 1118846402L, 1700000000L};
    static final int READ_ONLY = 0x01, DIRECTORY = 0x10, ARCHIVE = 0x20;

    // A directory has no input, method "lhd" and ends in "/".
    record Member(String path, String input, String method, long mtime, int attribute, byte[] data, byte[] packed) {}

    // Levels 1 and 2 carry a non-default attribute in extended header 0x40 (honoured under OS 'M').
    static final class Header extends LhaHeader {
        Header(Member m, int level) {
            super(m.path, new Date(m.mtime * 1000L));
            setHeaderLevel(level);
            setOSID((byte) 'M');
            setLevel0DosAttribute((byte) m.attribute);
            setCompressMethod("-" + m.method + "-");
            setOriginalSize(m.data.length);
            setCompressedSize(m.packed.length);
            setCRC(crc16(m.data));
        }

        @Override
        protected byte[][] exportExtendHeaders(String encoding) throws UnsupportedEncodingException {
            byte[][] headers = super.exportExtendHeaders(encoding);
            int attribute = getLevel0DosAttribute();
            if (getHeaderLevel() == 0 || attribute == ARCHIVE) return headers;
            byte[][] more = Arrays.copyOf(headers, headers.length + 1);
            more[headers.length] = new byte[] {0x40, (byte) attribute, 0x00};
            return more;
        }
    }

    static File outDir;
    static PrintWriter manifest;
    static final Map<String, byte[]> inputs = new LinkedHashMap<>(), packedCache = new HashMap<>();

    public static void main(String[] args) throws IOException {
        // Levels 0 and 1 store local time in the JVM's zone; the tests use it too.
        TimeZone.setDefault(TimeZone.getTimeZone("Europe/Berlin"));
        outDir = new File(args[0]);
        inputs.put("empty.bin", new byte[0]);
        inputs.put("one.bin", new byte[] {0x41});
        inputs.put("exact64k.bin", wordSoup(new Random(64), 65536));
        inputs.put("over64k.bin", wordSoup(new Random(65), 65537));
        inputs.put("runs.bin", runs(new Random(3)));
        inputs.put("text.txt", text(new Random(4), 160 * 1024));
        inputs.put("random.bin", randomBytes(new Random(5), 96 * 1024));
        inputs.put("mixed.bin", mixed(new Random(6), 2 * 1024 * 1024));
        String[] texts = {"readme.txt", "deep.bin", "main.c", "strings.c", "locked.txt", "notes.txt"};
        int[] sizes = {6000, 30000, 9000, 12000, 3000, 2500};
        for (int i = 0; i < texts.length; i++)
            inputs.put(texts[i], i == 1 ? wordSoup(new Random(10 + i), sizes[i]) : text(new Random(10 + i), sizes[i]));
        inputs.put("victim.txt", larcSafeText(40000));
        new File(outDir, "inputs").mkdirs();
        for (Map.Entry<String, byte[]> e : inputs.entrySet())
            Files.write(new File(outDir, "inputs/" + e.getKey()).toPath(), e.getValue());
        manifest = new PrintWriter(new File(outDir, "manifest.tsv"), "UTF-8");
        manifest.println("# archive\tlevel\tkind\tmethod\tpath\tinput\tmtime\tattribute\tpackedOffset\tpackedSize\tringEdgeMatches");

        // Every method at every level over the edge-case inputs.
        List<String> matrix = List.copyOf(inputs.keySet()).subList(0, 8);
        for (String method : METHODS)
            for (int level = 0; level <= 2; level++) {
                List<Member> members = new ArrayList<>();
                for (int i = 0; i < matrix.size(); i++)
                    members.add(file(matrix.get(i), matrix.get(i), method, T[i % T.length], ARCHIVE));
                writeArchive(method + "-l" + level + ".lzh", level, members);
            }
        // Directories with and without entries, a read-only file, several methods.
        for (int level = 0; level <= 2; level++)
            writeArchive("tree-l" + level + ".lzh", level, List.of(dir("docs/", T[0]),
                file("docs/readme.txt", "readme.txt", "lh5", T[1], ARCHIVE), dir("docs/sub/", T[2]),
                file("docs/sub/deep.bin", "deep.bin", "lh6", T[3], ARCHIVE), dir("empty/", T[4]),
                file("src/main.c", "main.c", "lh1", T[0], ARCHIVE), file("src/util/strings.c", "strings.c", "lzs", T[1], ARCHIVE),
                file("locked.txt", "locked.txt", "lz5", T[2], ARCHIVE | READ_ONLY), file("notes.txt", "notes.txt", "lh0", T[3], ARCHIVE)));
        for (int level = 0; level <= 2; level++)  // a refused member between two good ones
            writeArchive("lh7mix-l" + level + ".lzh", level, List.of(file("before.txt", "readme.txt", "lh5", T[0], ARCHIVE),
                file("refused.txt", "notes.txt", "lh7", T[1], ARCHIVE), file("after.txt", "main.c", "lh5", T[2], ARCHIVE)));
        // One member per method whose packed data the damage tests spoil.
        for (String method : METHODS)
            if (!method.equals("lh7"))
                writeArchive("damage-" + method + ".lzh", 1, List.of(file("victim.txt", "victim.txt", method, T[4], ARCHIVE)));
        manifest.close();
        if (manifest.checkError()) throw new IOException("cannot write manifest.tsv");
    }

    static Member file(String path, String input, String method, long mtime, int attribute) throws IOException {
        byte[] data = inputs.get(input);
        String key = method + "/" + input;
        if (!packedCache.containsKey(key)) packedCache.put(key, compress(method, data));
        return new Member(path, input, method, mtime, attribute, data, packedCache.get(key));
    }

    static Member dir(String path, long mtime) { return new Member(path, null, "lhd", mtime, DIRECTORY, new byte[0], new byte[0]); }

    // Driven directly: the archive writer would store what does not shrink.
    static byte[] compress(String method, byte[] data) throws IOException {
        ByteArrayOutputStream sink = new ByteArrayOutputStream();
        OutputStream encoder = CompressMethod.connectEncoder(sink, "-" + method + "-", LhaProperty.getProperties());
        encoder.write(data);
        encoder.close();
        return sink.toByteArray();
    }

    static void writeArchive(String name, int level, List<Member> members) throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        LhaOutputStream archive = new LhaOutputStream(bytes);
        for (Member m : members) {
            archive.putNextEntryAlreadyCompressed(new Header(m, level));
            archive.write(m.packed);
            archive.closeEntry();
            archive.flush();
            // The offset holds only if the data is out once the entry is closed.
            int offset = bytes.size() - m.packed.length;
            if (!Arrays.equals(Arrays.copyOfRange(bytes.toByteArray(), offset, bytes.size()), m.packed))
                throw new IOException(name + ": packed data of " + m.path + " is not at " + offset);
            manifest.println(String.join("\t", name, "" + level, m.input == null ? "dir" : "file", m.method, m.path,
                m.input == null ? "-" : m.input, "" + m.mtime, "" + m.attribute, "" + offset, "" + m.packed.length,
                "" + ringEdgeMatches(m.method, m.packed, m.data.length)));
        }
        archive.close();
        Files.write(new File(outDir, name).toPath(), bytes.toByteArray());
    }

    // The -lzs- and -lz5- encoders sometimes match exactly one ring back, which the extractor reads
    // as distance 0: such members do not come out whole, and the tests hold them apart by this count.
    static int ringEdgeMatches(String method, byte[] packed, int size) {
        boolean lzs = method.equals("lzs");
        if (!lzs && !method.equals("lz5")) return 0;
        int ring = lzs ? 2048 : 4096, lead = lzs ? 17 : 18, mask = 0x80, flags = 0, count = 0;
        long[] bit = {0};
        for (long at = 0; at < size && bit[0] < 8L * packed.length;) {
            int position, length;
            if (lzs) {
                if (bits(packed, bit, 1) == 1) {  // a literal
                    bits(packed, bit, 8);
                    at++;
                    continue;
                }
                position = bits(packed, bit, 11);
                length = bits(packed, bit, 4) + 2;
            } else {
                mask = ((mask << 1) | (mask >>> 7)) & 0xFF;
                if (mask == 0x01) flags = bits(packed, bit, 8);
                int low = bits(packed, bit, 8);
                if ((flags & mask) != 0) {
                    at++;
                    continue;
                }
                int high = bits(packed, bit, 8);
                position = ((high & 0xF0) << 4) | low;
                length = (high & 0x0F) + 3;
            }
            if (((at - position - lead) & (ring - 1)) == 0) count++;
            at += length;
        }
        return count;
    }

    // n bits from bit[0] on, most significant first; zeros past the end.
    static int bits(byte[] data, long[] bit, int n) {
        int value = 0;
        for (int i = 0; i < n; i++, bit[0]++) {
            long b = bit[0];
            value = (value << 1) | (b < 8L * data.length ? (data[(int) (b >>> 3)] >>> (7 - (int) (b & 7))) & 1 : 0);
        }
        return value;
    }

    // The first text whose LArc encodings have no match at the ring's edge.
    static byte[] larcSafeText(int size) throws IOException {
        for (int seed = 16;; seed++) {
            byte[] candidate = text(new Random(seed), size);
            if (ringEdgeMatches("lzs", compress("lzs", candidate), size) == 0
                && ringEdgeMatches("lz5", compress("lz5", candidate), size) == 0) return candidate;
        }
    }

    // The encoder takes the CRC from its caller when the data comes packed.
    static int crc16(byte[] data) {
        int crc = 0;
        for (byte b : data) {
            crc ^= b & 0xFF;
            for (int k = 0; k < 8; k++) crc = (crc & 1) != 0 ? (crc >>> 1) ^ 0xA001 : crc >>> 1;
        }
        return crc;
    }

    static final String[] WORDS = ("the archive member header window offset length decoder table code bit of and to a in"
        + " stream block match literal position extract directory file name time attribute level method packed original"
        + " size checksum buffer output input progress cancel setup target drive sector cluster Huffman adaptive static"
        + " frequency tree node leaf symbol").split(" ");

    static byte[] text(Random r, int size) {
        StringBuilder sb = new StringBuilder(size + 100);
        for (int column = 0; sb.length() < size;) {
            String w = WORDS[r.nextInt(WORDS.length)];
            if (r.nextInt(12) == 0) w = Integer.toString(r.nextInt(100000));
            if (column > 0 && column + w.length() > 72) {
                sb.append(r.nextInt(6) == 0 ? ".\r\n\r\n" : "\r\n");
                column = 0;
            } else if (column > 0) {
                sb.append(' ');
                column++;
            }
            sb.append(w);
            column += w.length();
        }
        return Arrays.copyOf(sb.toString().getBytes(StandardCharsets.ISO_8859_1), size);
    }

    // Short words of all byte values: matches everywhere, at every distance.
    static byte[] wordSoup(Random r, int size) {
        byte[][] words = new byte[300][];
        for (int i = 0; i < words.length; i++) r.nextBytes(words[i] = new byte[2 + r.nextInt(9)]);
        byte[] out = new byte[size];
        for (int at = 0; at < size;) {
            byte[] w = words[r.nextInt(r.nextBoolean() ? 20 : words.length)];
            int n = Math.min(w.length, size - at);
            System.arraycopy(w, 0, out, at, n);
            at += n;
        }
        return out;
    }

    // Matches overlapping their source: runs beyond any window, short periods.
    static byte[] runs(Random r) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        fill(out, 'A', 5000);
        fill(out, 0, 70000);
        for (int period = 2; period <= 9; period++) {
            byte[] unit = randomBytes(r, period);
            for (int k = 0; k < 3000; k++) out.write(unit, 0, unit.length);
        }
        for (int k = 0; k < 2000; k++) fill(out, r.nextInt(256), 1 + r.nextInt(r.nextInt(8) == 0 ? 400 : 12));
        fill(out, 0xFF, 65537);
        return out.toByteArray();
    }

    static void fill(ByteArrayOutputStream out, int value, int count) { for (int i = 0; i < count; i++) out.write(value); }

    static byte[] randomBytes(Random r, int size) {
        byte[] out = new byte[size];
        r.nextBytes(out);
        return out;
    }

    // Stretches of different character, for new trees and blocks of statistics.
    static byte[] mixed(Random r, int size) {
        ByteArrayOutputStream out = new ByteArrayOutputStream(size + 70000);
        while (out.size() < size) {
            int n = 1000 + r.nextInt(60000), kind = r.nextInt(6);
            if (kind <= 1) out.write(text(r, n), 0, n);
            else if (kind == 2) out.write(wordSoup(r, n), 0, n);
            else if (kind == 3)  // little-endian integer tables, as in executables
                for (int i = 0, v = r.nextInt(), step = r.nextInt(64); i + 4 <= n; i += 4, v += step)
                    out.write(new byte[] {(byte) v, (byte) (v >>> 8), (byte) (v >>> 16), (byte) (v >>> 24)}, 0, 4);
            else if (kind == 4) out.write(randomBytes(r, n / 8), 0, n / 8);
            else fill(out, r.nextInt(4) == 0 ? 0 : r.nextInt(256), n / 4);
        }
        return Arrays.copyOf(out.toByteArray(), size);
    }
}
