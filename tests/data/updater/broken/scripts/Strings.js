var S = { delivered: "Delivered %@" };
