package reach;

import java.util.Hashtable;
import javax.naming.Context;
import javax.naming.spi.NamingManager;

/** Opens a context for dns: URLs, whose factory JNDI finds by a name it builds from the scheme. */
public final class Naming {
    public static void main(String[] args) throws Exception {
        Context dns = NamingManager.getURLContext("dns", new Hashtable<>());
        System.out.println("reached=" + (dns != null));
    }
}
