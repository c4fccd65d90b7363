package reach;

import java.time.LocalDate;
import java.time.format.DateTimeFormatter;
import java.util.Locale;

/**
 * Writes a date in Finnish, whose data only jdk.localedata holds (without it, it is English), and
 * whether a stack frame inside the JDK has its line number.
 */
public final class Dates {
    public static void main(String[] args) {
        String month = LocalDate.of(2024, 1, 15).format(DateTimeFormatter.ofPattern("LLLL", new Locale("fi")));
        System.out.println("month=" + month);
        System.out.println("reached=" + month.equals("tammikuu"));
        try {
            java.util.Objects.requireNonNull(null);
        } catch (NullPointerException e) {
            System.out.println("jdk.frame=" + e.getStackTrace()[0]);
            System.out.println("jdk.frame.has.line=" + (e.getStackTrace()[0].getLineNumber() > 0));
        }
    }
}
