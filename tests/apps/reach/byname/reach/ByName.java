package reach;

/** Loads a JDK class by the name its code gives only as text. */
public final class ByName {
    public static void main(String[] args) throws Exception {
        System.out.println("reached=" + Class.forName("java.sql.DriverManager").getName().equals("java.sql.DriverManager"));
    }
}
